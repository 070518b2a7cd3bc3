// Job event service. GetInstance returns the host's recorder, which keeps
// every sent event so that an agent harness or a test can read them. A test
// may install its own instance with SetInstance.
#pragma once

#include "host/CRyError.h"

#include <mutex>
#include <vector>

class ISendEventInterface {
public:
    virtual ~ISendEventInterface() = default;
    virtual void SendEvent(const CRyError& event, int severity, int flags) = 0;

    static ISendEventInterface* GetInstance();
    // Installs instance (null restores the recorder); returns the previous one.
    static ISendEventInterface* SetInstance(ISendEventInterface* instance);
};

// The default instance: records events in sending order. Thread-safe.
class CRecordingEventSink : public ISendEventInterface {
public:
    struct Sent {
        uint32_t uiEventId;
        std::vector<std::string> vecArguments;
        std::string strText;
        int iSeverity;
        int iFlags;
    };
    void SendEvent(const CRyError& event, int severity, int flags) override;
    std::vector<Sent> Events() const;
    void Clear();
    static CRecordingEventSink& Default();

private:
    mutable std::mutex m_mutex;
    std::vector<Sent> m_vecEvents;
};

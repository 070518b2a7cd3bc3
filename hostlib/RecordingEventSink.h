// The host's default job event service: records events in sending order, so
// that the agent harness and the tests can read what a job sent.
// Thread-safe.
#pragma once

#include "host/SendEvent.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

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
    // The instance GetInstance returns while none is installed.
    static CRecordingEventSink& Default();

private:
    mutable std::mutex m_mutex;
    std::vector<Sent> m_vecEvents;
};

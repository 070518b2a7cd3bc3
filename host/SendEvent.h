// Job event service. GetInstance returns the host's instance; ours records
// every sent event so that an agent harness or a test can read them. A test
// may install its own instance with SetInstance.
#pragma once

#include "host/CRyError.h"

class ISendEventInterface {
public:
    virtual ~ISendEventInterface() = default;
    virtual void SendEvent(const CRyError& event, int severity, int flags) = 0;

    static ISendEventInterface* GetInstance();
    // Installs instance (null restores the host's own); returns the previous one.
    static ISendEventInterface* SetInstance(ISendEventInterface* instance);
};

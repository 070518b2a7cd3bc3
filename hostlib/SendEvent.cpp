#include "host/SendEvent.h"

#include "hostlib/RecordingEventSink.h"

#include <atomic>

namespace {
// The instance a test or an agent installed; null means the recorder.
std::atomic<ISendEventInterface*>& InstalledInstance() {
    static std::atomic<ISendEventInterface*> instance{nullptr};
    return instance;
}
}  // namespace

ISendEventInterface* ISendEventInterface::GetInstance() {
    ISendEventInterface* installed = InstalledInstance().load();
    return installed ? installed : &CRecordingEventSink::Default();
}

ISendEventInterface* ISendEventInterface::SetInstance(ISendEventInterface* instance) {
    ISendEventInterface* previous = InstalledInstance().exchange(instance);
    return previous ? previous : &CRecordingEventSink::Default();
}

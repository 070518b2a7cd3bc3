#include "hostlib/RecordingEventSink.h"

void CRecordingEventSink::SendEvent(const CRyError& event, int severity, int flags) {
    Sent sent{event.EventId(), event.EventArguments(), event.AsString(), severity, flags};
    std::lock_guard<std::mutex> lock(m_mutex);
    m_vecEvents.push_back(std::move(sent));
}

std::vector<CRecordingEventSink::Sent> CRecordingEventSink::Events() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_vecEvents;
}

void CRecordingEventSink::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_vecEvents.clear();
}

CRecordingEventSink& CRecordingEventSink::Default() {
    // Never destroyed: an event sent while the process exits still finds it.
    static CRecordingEventSink* sink = new CRecordingEventSink();
    return *sink;
}

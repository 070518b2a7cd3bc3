// The agent's application identity, built from the two application id parts.
#pragma once

#include <cstdint>

class ApplicationId {
public:
    ApplicationId(uint32_t appId1, uint32_t appId2) : m_ulAppId1(appId1), m_ulAppId2(appId2) {}
    uint32_t AppId1() const { return m_ulAppId1; }
    uint32_t AppId2() const { return m_ulAppId2; }

private:
    uint32_t m_ulAppId1;
    uint32_t m_ulAppId2;
};

// The agent's content mapper: backup path -> path actually read.
#pragma once

#include <boost/shared_ptr.hpp>
#include <map>
#include <string>

class ContentMapperAPI {
public:
    virtual ~ContentMapperAPI() = default;
    virtual void SetPathMap(const std::map<std::string, std::string>& paths) = 0;
};

typedef boost::shared_ptr<ContentMapperAPI> ContentMapperAPIPtr;

class CContentMapper : public ContentMapperAPI {
public:
    void SetPathMap(const std::map<std::string, std::string>& paths) override {
        m_mapPaths = paths;
    }
    const std::map<std::string, std::string>& GetPathMap() const { return m_mapPaths; }

private:
    std::map<std::string, std::string> m_mapPaths;
};

// Loads the snapshot client plug-in the way a backup agent does: dlopen of
// the shared library, then the exported C factory GetSnapClient. The
// library stays loaded while the loader lives; every client it hands out
// must be destroyed before that.
#pragma once

#include "snapclient/CFileServerSnapClientBase.h"

#include <memory>
#include <string>

namespace snapagent {

// Destroys a client through its virtual destructor, as the agent owns it.
struct ClientDeleter {
    void operator()(CFileServerSnapClientBase* client) const { delete client; }
};
typedef std::unique_ptr<CFileServerSnapClientBase, ClientDeleter> ClientPtr;

class PluginLoader {
public:
    PluginLoader() = default;
    ~PluginLoader();
    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;

    // The installed plug-in next to this program (../lib/<arch>/snapclient/
    // from its folder) when there is one, else the one this build made.
    static std::string DefaultPath();

    // False with error set when the library cannot be loaded or does not
    // export GetSnapClient.
    bool Load(const std::string& path, std::string& error);
    // A new client object, or null (with error set) when the factory gives none.
    ClientPtr NewClient(std::string& error) const;
    // The version the loaded plug-in carries, or "unknown".
    std::string Version() const;

private:
    void* m_pHandle = nullptr;
    GetSnapClientFn m_pFactory = nullptr;
};

}  // namespace snapagent

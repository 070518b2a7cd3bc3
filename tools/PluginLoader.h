// Loads the snapshot client plug-in the way a backup agent does: dlopen of
// the shared library, then the exported C factory GetSnapClient. The
// library stays loaded while the loader lives; every client it hands out
// must be destroyed before that.
#pragma once

#include "hostlib/Status.h"
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

    // An I/O error when the library cannot be loaded, an invalid argument
    // when it does not export GetSnapClient (or one is loaded already).
    hostlib::Status Load(const std::string& path);
    // A new client object; failed (client null) when no plug-in is loaded
    // or the factory gives none.
    hostlib::Status NewClient(ClientPtr& client) const;
    // The version the loaded plug-in carries, or "unknown".
    std::string Version() const;

private:
    void* m_pHandle = nullptr;
    GetSnapClientFn m_pFactory = nullptr;
};

}  // namespace snapagent

// The plug-in as an agent sees it: loaded with dlopen, created by the C
// factory, driven through the base interface; then the snapshot names and
// every way the array connection can fail.
#include "array/ArrayBackendFactory.h"
#include "host/FXErrorUtil.h"
#include "snapclient/NetAppSnapClient.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <dlfcn.h>
#include <memory>

using namespace testsupport;

namespace {

const char kNoConnection[] =
    "Unable to connect to array:[filer1]. Please check connectivity to the array and check the "
    "array management settings.";

// Reaches the job state that the agent never sees.
class FrameClient : public CNetAppSnapClient {
public:
    using CNetAppSnapClient::m_llJobId;
    using CNetAppSnapClient::m_bAutoMountClient;
    using CNetAppSnapClient::m_llPrevJobId;
    using CNetAppSnapClient::m_mapContentMapperPaths;
    using CNetAppSnapClient::m_pApplicationId;
    using CNetAppSnapClient::m_pManageOntap;
    using CNetAppSnapClient::m_stArrayInfo;
    using CNetAppSnapClient::m_strSnapNamePrefix;

    CRyError Start(LONGLONG jobId, ULONG clientId, ULONG appId2,
                   const ContentMapperAPIPtr& mapper = ContentMapperAPIPtr()) {
        // The previous job is the one before, counted as the array counts: unsigned.
        const LONGLONG prevJobId = static_cast<LONGLONG>(static_cast<uint64_t>(jobId) - 1);
        return Initialize(jobId, clientId, 7, appId2, "/results", "reserved", "/results/map.vkf",
                          prevJobId, 1, 2, 3, mapper);
    }
};

ScriptedFault FaultOn(const std::string& operation, uint64_t nth = 1) {
    ScriptedFault fault;
    fault.strOperation = operation;
    fault.ullNth = nth;
    return fault;
}

// A content mapper of the agent's that is not ours.
class ForeignMapper : public ContentMapperAPI {
public:
    void SetPathMap(const std::map<std::string, std::string>&) override {}
};

bool HasFrameOf(const CRyError& error, const std::string& function) {
    for (const auto& frame : error.Frames())
        if (frame.location.strFunction.find(function) != std::string::npos) return true;
    return false;
}

TEST(PluginTest, LoadsWithDlopenAndInitializesThroughTheBase) {
    ScopedConfig config(ClientConfig());
    ScriptedArrayInstall install{ArrayScript()};
    void* handle = dlopen(SNAPCLIENT_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, handle) << dlerror();
    // Found under its plain name: exported with C linkage.
    auto factory = reinterpret_cast<GetSnapClientFn>(dlsym(handle, "GetSnapClient"));
    ASSERT_NE(nullptr, factory) << dlerror();
    std::unique_ptr<CFileServerSnapClientBase> client(factory());
    ASSERT_NE(nullptr, dynamic_cast<CNetAppSnapClient*>(client.get()));
    auto mapper = boost::make_shared<CContentMapper>();
    mapper->SetPathMap({{"/mnt/a/", "/mnt/a/"}});
    CRyError result =
        client->Initialize(812, 2, 1, 15, "/tmp", "", "/tmp/map.vkf", 811, 0, 0, 0, mapper);
    EXPECT_FALSE(result.IsError()) << result.AsString();
    EXPECT_FALSE(client->VerifySnapScanSupport().IsError());
    std::string name;
    static_cast<CNetAppSnapClient*>(client.get())->GetSnapshotName(812, name);
    EXPECT_EQ("VKOP_2_15_812", name);
    EXPECT_EQ(1u, install.CallsOf("OpenConnection").size());
    client.reset();  // through the virtual destructor
    EXPECT_EQ(0, dlclose(handle));
}

TEST(ClientFrameTest, SnapshotNames) {
    ScopedConfig config(ClientConfig());
    ScriptedArrayInstall install{ArrayScript()};
    const struct {
        LONGLONG jobId;
        ULONG clientId, appId2;
        const char *prefix, *current, *previous;
    } rows[] = {
        {0, 0, 0, "VKOP_0_0_", "VKOP_0_0_0", "VKOP_0_0_18446744073709551615"},
        {812, 2, 15, "VKOP_2_15_", "VKOP_2_15_812", "VKOP_2_15_811"},
        {-1, 9, 1, "VKOP_9_1_", "VKOP_9_1_18446744073709551615", "VKOP_9_1_18446744073709551614"},
        {INT64_MIN, 1, 2, "VKOP_1_2_", "VKOP_1_2_9223372036854775808",
         "VKOP_1_2_9223372036854775807"},
        // No credentials for this id: Initialize fails, the names are set all the same.
        {5, 4294967295u, 4294967295u, "VKOP_4294967295_4294967295_",
         "VKOP_4294967295_4294967295_5", "VKOP_4294967295_4294967295_4"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.current);
        FrameClient client;
        client.Start(row.jobId, row.clientId, row.appId2);
        EXPECT_EQ(row.prefix, client.m_strSnapNamePrefix);
        std::string current, previous;
        client.GetSnapshotName(client.m_llJobId, current);
        client.GetSnapshotName(client.m_llPrevJobId, previous);
        EXPECT_EQ(row.current, current);
        EXPECT_EQ(row.previous, previous);
    }
}

// The agent's content mapper decides how shares resolve and seeds the path
// map; a mapper the client cannot read is refused without touching the map.
TEST(ClientFrameTest, InitializeTakesTheContentMapper) {
    const std::map<std::string, std::string> before = {{"/mnt/old/", "/mnt/old/"}};
    const std::map<std::string, std::string> agents = {{"/mnt/a/", "/mnt/a/.snapshot/s"}};
    auto ours = boost::make_shared<CContentMapper>();
    ours->SetPathMap(agents);
    const struct {
        const char* name;
        ContentMapperAPIPtr mapper;
        uint32_t code;
        const char* message;
        bool autoMount;
        std::map<std::string, std::string> pathsAfter;
    } rows[] = {
        {"no content mapper", ContentMapperAPIPtr(), 0, "", false, before},
        {"the agent's content mapper", ours, 0, "", true, agents},
        {"a mapper of another class", ContentMapperAPIPtr(new ForeignMapper()), 160,
         "Dynamic cast failed for ContentMapper", true, before},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScopedConfig config(ClientConfig());
        ScriptedArrayInstall install{ArrayScript()};
        FrameClient client;
        client.m_bAutoMountClient = !row.autoMount;
        client.m_mapContentMapperPaths = before;
        CRyError result = client.Start(812, 2, 15, row.mapper);
        EXPECT_EQ(row.code, result.Win32Code()) << result.AsString();
        EXPECT_EQ(row.message, result.Message());
        EXPECT_EQ(row.autoMount, client.m_bAutoMountClient);
        EXPECT_EQ(row.pathsAfter, client.m_mapContentMapperPaths);
        EXPECT_NE(nullptr, client.m_pApplicationId) << "built before the mapper is looked at";
    }
}

TEST(ClientFrameTest, ArrayConnectionFailures) {
    const struct {
        const char* name;
        ULONG clientId;
        bool openOk;
        std::vector<ScriptedFault> faults;
        bool factoryFails;
        const char* message;
        bool ontapAfter;
    } rows[] = {
        {"no credentials", 42, true, {}, false, "Unable to get array credentials.", false},
        {"array unreachable", 1, false, {}, false, kNoConnection, true},
        {"connection call fails", 1, true, {FaultOn("OpenConnection")}, false, kNoConnection, true},
        {"no back end for the array", 1, true, {}, true, kNoConnection, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScopedConfig config(ClientConfig());
        ArrayScript script;
        script.bOpenConnectionOk = row.openOk;
        script.vecFaults = row.faults;
        ScriptedArrayInstall install(script);
        if (row.factoryFails)
            SetArrayBackendOverride(
                [](const NASArrayInfo&) { return boost::shared_ptr<ArrayBackend>(); });
        RecordingLogWriter log(3);
        FrameClient client;
        CRyError result = client.Start(812, row.clientId, 15);
        EXPECT_EQ(1627u, result.Win32Code()) << result.AsString();
        EXPECT_EQ(row.message, result.Message());
        EXPECT_TRUE(HasFrameOf(result, "InitArray") && HasFrameOf(result, "Initialize"));
        EXPECT_EQ(row.ontapAfter, client.m_pManageOntap != nullptr);
        EXPECT_EQ(nullptr, client.m_pApplicationId) << "nothing after the failing step runs";
        if (row.factoryFails) {
            EXPECT_TRUE(log.Lines().size() == 1 && log.Lines()[0].level == -1 &&
                        log.CountContaining("[filer1]") == 1)
                << log.Dump();
        }
        if (!row.ontapAfter) {  // without a connection the scan-support check refuses
            CRyError check = client.VerifySnapScanSupport();
            EXPECT_EQ(1359u, check.Win32Code());
            EXPECT_EQ("ManageOntap not initialized", check.Message());
        }
    }
}

TEST(ClientFrameTest, SecondInitArrayReusesTheManagementObject) {
    ScopedConfig config(ClientConfig());
    ScriptedArrayInstall install{ArrayScript()};
    FrameClient client;
    ASSERT_FALSE(client.Start(812, 1, 15).IsError());
    ManageONTAP* first = client.m_pManageOntap.get();
    ASSERT_NE(nullptr, first);
    ASSERT_FALSE(client.InitArray(2).IsError());
    EXPECT_EQ(first, client.m_pManageOntap.get());
    EXPECT_EQ("client2", client.m_stArrayInfo.strClientName) << "credentials are refilled";
    EXPECT_EQ(2u, install.CallsOf("OpenConnection").size()) << "and the connection reopened";
    // A later failing connection keeps the same, now unconnected, object.
    install.Backend().AddFault(FaultOn("OpenConnection", 3));
    EXPECT_EQ(kNoConnection, client.InitArray(1).Message());
    EXPECT_EQ(first, client.m_pManageOntap.get());
}

TEST(ClientFrameTest, ScanSupportDependsOnlyOnTheClusterInterface) {
    const struct {
        bool cluster, clusterInterface;
        ULONG clientId;
    } rows[] = {{true, false, 2}, {false, false, 2}, {true, true, 2}, {false, true, 0}};
    for (const auto& row : rows) {
        const std::string refusal = row.clusterInterface
            ? "Client [client" + std::to_string(row.clientId) +
                  "] is a cluster interface, fast scan through cluster client is not supported."
            : "";
        SCOPED_TRACE(refusal);
        ScopedConfig config(ClientConfig());
        ArrayScript script;
        script.bCluster = row.cluster;
        script.bClusterInterface = row.clusterInterface;
        ScriptedArrayInstall install(script);
        FrameClient client;
        ASSERT_FALSE(client.Start(812, row.clientId, 15).IsError());
        RecordingLogWriter log(3);
        CRyError check = client.VerifySnapScanSupport();
        EXPECT_EQ(row.clusterInterface, check.IsError());
        EXPECT_EQ(row.clusterInterface ? 1627u : 0u, check.Win32Code());
        EXPECT_EQ(refusal, check.Message());
        EXPECT_TRUE(log.Lines().empty()) << "the check logs nothing: " << log.Dump();
    }
}

}  // namespace

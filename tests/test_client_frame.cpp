// The plug-in as an agent sees it: loaded with dlopen, created by the C
// factory, driven through the base interface; then the job identity, the
// snapshot names and every way the array connection can fail.
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
    const std::string& Prefix() const { return m_strSnapNamePrefix; }
    ManageONTAP* Ontap() const { return m_pManageOntap.get(); }
    ApplicationId* AppId() const { return m_pApplicationId.get(); }
    bool AutoMount() const { return m_bAutoMountClient; }
    const std::map<std::string, std::string>& PathMap() const { return m_mapContentMapperPaths; }
    const NASArrayInfo& ArrayInfo() const { return m_stArrayInfo; }
    LONGLONG JobId() const { return m_llJobId; }
    LONGLONG PrevJobId() const { return m_llPrevJobId; }
    const std::string& JobResultsDir() const { return m_strJobResultsDir; }
    const std::string& SnapMapInfoFile() const { return m_strSnapMapInfoFile; }

    CRyError Start(LONGLONG jobId, ULONG clientId, ULONG appId2,
                   const ContentMapperAPIPtr& mapper = ContentMapperAPIPtr()) {
        // The previous job is the one before, counted as the array counts: unsigned.
        const LONGLONG prevJobId = static_cast<LONGLONG>(static_cast<uint64_t>(jobId) - 1);
        return Initialize(jobId, clientId, 7, appId2, "/results", "reserved", "/results/map.vkf",
                          prevJobId, 1, 2, 3, mapper);
    }
};

// A content mapper of the agent that is not ours.
class ForeignMapper : public ContentMapperAPI {
public:
    void SetPathMap(const std::map<std::string, std::string>&) override {}
};

ScriptedFault FaultOn(const std::string& operation, uint64_t nth = 1) {
    ScriptedFault fault;
    fault.strOperation = operation;
    fault.ullNth = nth;
    return fault;
}

bool HasFrameOf(const CRyError& error, const std::string& function) {
    for (const auto& frame : error.Frames())
        if (frame.location.strFunction.find(function) != std::string::npos) return true;
    return false;
}

TEST(PluginTest, LoadsWithDlopenAndInitializesThroughTheBase) {
    ScopedConfig config(ClientConfig());
    ArrayScript script;
    ScriptedArrayInstall install(script);

    void* handle = dlopen(SNAPCLIENT_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, handle) << dlerror();
    // Found under its plain name: exported with C linkage.
    auto factory = reinterpret_cast<GetSnapClientFn>(dlsym(handle, "GetSnapClient"));
    ASSERT_NE(nullptr, factory) << dlerror();

    std::unique_ptr<CFileServerSnapClientBase> client(factory());
    ASSERT_NE(nullptr, client.get());
    ASSERT_NE(nullptr, dynamic_cast<CNetAppSnapClient*>(client.get()));
    auto mapper = boost::make_shared<CContentMapper>();
    mapper->SetPathMap({{"/mnt/a/", "/mnt/a/"}});
    CRyError result = client->Initialize(812, 2, 1, 15, "/tmp", "", "/tmp/map.vkf", 811, 0, 0, 0,
                                         mapper);
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
    ArrayScript script;
    ScriptedArrayInstall install(script);
    struct Row {
        LONGLONG jobId;
        ULONG clientId;
        ULONG appId2;
        const char* prefix;
        const char* current;
        const char* previous;
    };
    const Row rows[] = {
        {0, 0, 0, "VKOP_0_0_", "VKOP_0_0_0", "VKOP_0_0_18446744073709551615"},
        {812, 2, 15, "VKOP_2_15_", "VKOP_2_15_812", "VKOP_2_15_811"},
        {-1, 9, 1, "VKOP_9_1_", "VKOP_9_1_18446744073709551615", "VKOP_9_1_18446744073709551614"},
        {INT64_MIN, 1, 2, "VKOP_1_2_", "VKOP_1_2_9223372036854775808",
         "VKOP_1_2_9223372036854775807"},
        // No credentials for this id: Initialize fails, the names are set all the same.
        {5, 4294967295u, 4294967295u, "VKOP_4294967295_4294967295_",
         "VKOP_4294967295_4294967295_5", "VKOP_4294967295_4294967295_4"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.current);
        FrameClient client;
        client.Start(row.jobId, row.clientId, row.appId2);
        EXPECT_EQ(row.prefix, client.Prefix());
        std::string current, previous;
        client.GetSnapshotName(client.JobId(), current);
        client.GetSnapshotName(client.PrevJobId(), previous);
        EXPECT_EQ(row.current, current);
        EXPECT_EQ(row.previous, previous);
    }
}

TEST(ClientFrameTest, InitializeStoresTheJobAndTheContentMapper) {
    ScopedConfig config(ClientConfig());
    ArrayScript script;
    ScriptedArrayInstall install(script);
    const std::map<std::string, std::string> paths{{"/mnt/a/", "/mnt/a/.snapshot/x/"}};
    auto mapper = boost::make_shared<CContentMapper>();
    mapper->SetPathMap(paths);

    FrameClient client;
    ASSERT_FALSE(client.Start(812, 3, 15, mapper).IsError());
    EXPECT_EQ("/results", client.JobResultsDir());
    EXPECT_EQ("/results/map.vkf", client.SnapMapInfoFile());
    EXPECT_EQ(811, client.PrevJobId());
    EXPECT_TRUE(client.AutoMount());
    EXPECT_EQ(paths, client.PathMap());
    ASSERT_NE(nullptr, client.AppId());
    EXPECT_EQ(7u, client.AppId()->AppId1());
    EXPECT_EQ(15u, client.AppId()->AppId2());
    EXPECT_EQ("filer1", client.ArrayInfo().strArrayName);
    EXPECT_EQ("client3", client.ArrayInfo().strClientName);

    // A null mapper: not an auto-mount client; the map stays as it was.
    ASSERT_FALSE(client.Start(813, 3, 15).IsError());
    EXPECT_FALSE(client.AutoMount());
    EXPECT_EQ(paths, client.PathMap());

    // A mapper of another class fails, leaves the flag set and the map alone.
    CRyError foreign = client.Start(814, 3, 15, boost::make_shared<ForeignMapper>());
    EXPECT_EQ(160u, foreign.Win32Code());
    EXPECT_EQ("Dynamic cast failed for ContentMapper", foreign.Message());
    EXPECT_TRUE(client.AutoMount());
    EXPECT_EQ(paths, client.PathMap());
}

TEST(ClientFrameTest, ArrayConnectionFailures) {
    struct Row {
        const char* name;
        std::string config;
        ULONG clientId;
        bool openOk;
        std::vector<ScriptedFault> faults;
        bool factoryFails;
        uint32_t code;
        const char* message;
        bool ontapAfter;
    };
    const std::vector<Row> rows = {
        {"no credentials", ClientConfig(), 42, true, {}, false, 1627,
         "Unable to get array credentials.", false},
        {"no config at all", "", 1, true, {}, false, 1627, "Unable to get array credentials.",
         false},
        {"array unreachable", ClientConfig(), 1, false, {}, false, 1627, kNoConnection, true},
        {"connection call fails", ClientConfig(), 1, true, {FaultOn("OpenConnection")},
         false, 1627, kNoConnection, true},
        {"no back end for the array", ClientConfig(), 1, true, {}, true, 1627, kNoConnection,
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScopedConfig config(row.config);
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
        EXPECT_EQ(row.code, result.Win32Code()) << result.AsString();
        EXPECT_TRUE(result.Status() < 0);
        EXPECT_EQ(row.message, result.Message());
        EXPECT_TRUE(HasFrameOf(result, "InitArray"));
        EXPECT_TRUE(HasFrameOf(result, "Initialize")) << "Initialize pushes its location";
        EXPECT_EQ(row.ontapAfter, client.Ontap() != nullptr);
        EXPECT_EQ(nullptr, client.AppId()) << "nothing after the failing step runs";
        EXPECT_EQ("VKOP_" + std::to_string(row.clientId) + "_15_", client.Prefix());
        if (row.factoryFails) {
            EXPECT_TRUE(log.Lines().size() == 1 && log.Lines()[0].level == -1 &&
                        log.CountContaining("[filer1]") == 1)
                << log.Dump();
        }

        // Without a connection the scan-support check refuses.
        if (!row.ontapAfter) {
            CRyError check = client.VerifySnapScanSupport();
            EXPECT_EQ(1359u, check.Win32Code());
            EXPECT_EQ("ManageOntap not initialized", check.Message());
        }
    }
}

TEST(ClientFrameTest, SecondInitArrayReusesTheManagementObject) {
    ScopedConfig config(ClientConfig());
    ArrayScript script;
    ScriptedArrayInstall install(script);
    FrameClient client;
    ASSERT_FALSE(client.Start(812, 1, 15).IsError());
    ManageONTAP* first = client.Ontap();
    ASSERT_NE(nullptr, first);
    ASSERT_FALSE(client.InitArray(2).IsError());
    EXPECT_EQ(first, client.Ontap());
    EXPECT_EQ("client2", client.ArrayInfo().strClientName) << "credentials are refilled";
    EXPECT_EQ(2u, install.CallsOf("OpenConnection").size()) << "and the connection reopened";

    // A later failing connection keeps the same, now unconnected, object.
    install.Backend().AddFault(FaultOn("OpenConnection", 3));
    CRyError failed = client.InitArray(1);
    EXPECT_EQ(kNoConnection, failed.Message());
    EXPECT_EQ(first, client.Ontap());
}

TEST(ClientFrameTest, ScanSupportDependsOnlyOnTheClusterInterface) {
    struct Row {
        bool cluster;
        bool clusterInterface;
        ULONG clientId;
        uint32_t code;
        const char* message;
    };
    const Row rows[] = {
        {true, false, 2, 0, ""},
        {false, false, 2, 0, ""},
        {true, true, 2, 1627,
         "Client [client2] is a cluster interface, fast scan through cluster client is not "
         "supported."},
        {false, true, 0, 1627,
         "Client [client0] is a cluster interface, fast scan through cluster client is not "
         "supported."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        ScopedConfig config(ClientConfig());
        ArrayScript script;
        script.bCluster = row.cluster;
        script.bClusterInterface = row.clusterInterface;
        ScriptedArrayInstall install(script);
        FrameClient client;
        ASSERT_FALSE(client.Start(812, row.clientId, 15).IsError());
        RecordingLogWriter log(3);
        CRyError check = client.VerifySnapScanSupport();
        EXPECT_EQ(row.code != 0, check.IsError());
        EXPECT_EQ(row.code, check.Win32Code());
        EXPECT_EQ(row.message, check.Message());
        EXPECT_TRUE(log.Lines().empty()) << "the check logs nothing: " << log.Dump();
    }
}

}  // namespace

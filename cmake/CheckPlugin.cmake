# Run after the plug-in is linked (cmake -DPLUGIN=... -DNM=... -DREADELF=...
# [-DSANITIZED=ON] -P CheckPlugin.cmake): an agent loads it into its own
# process, so it may export only its factory, must not pull in our host
# library (the agent's host services are the ones it must use), must not
# search the build folder for libraries, and may bind only the host
# operations every agent's host has: anything else keeps it from loading in
# such an agent.
cmake_policy(SET CMP0057 NEW)
execute_process(COMMAND ${NM} -D --defined-only ${PLUGIN}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "nm -D failed on ${PLUGIN}")
endif()
string(STRIP "${symbols}" symbols)
if(NOT symbols MATCHES "^[0-9a-f]+ T GetSnapClient$")
  message(FATAL_ERROR "${PLUGIN} must export GetSnapClient alone; it exports:\n${symbols}")
endif()

execute_process(COMMAND ${READELF} -d ${PLUGIN}
                OUTPUT_VARIABLE dynamic RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "readelf -d failed on ${PLUGIN}")
endif()
if(dynamic MATCHES "\\(NEEDED\\)[^\n]*libsnaphost")
  message(FATAL_ERROR "${PLUGIN} needs libsnaphost; it must take its host from the agent")
endif()
if(dynamic MATCHES "\\((RUNPATH|RPATH)\\)")
  message(FATAL_ERROR "${PLUGIN} carries a library search path")
endif()

# The host operations the plug-in may bind, by qualified name (any
# overload). The C and C++ runtimes bind by versioned symbols, and the
# sanitizer runtimes by names reserved to the implementation ("_..."); all
# other imports must be listed here.
set(HOST_OPERATIONS
  g_ptrLogWriter
  CLogWriterInterface::Log
  VKDebugFunction::VKDebugFunction VKDebugFunction::~VKDebugFunction
  CRyError::CRyError CRyError::Push CRyError::AsString
  FXErrorUtil::ErrorWin32 FXErrorUtil::ErrorEventMessage
  FXPath::Append FXPath::IsAncestorOf FXPath::IsDescendantOf FXPath::DoesPathExist
  FXPath::RemovePathFromFileName FXPath::AppendTrailingDelimiter FXPath::RemoveTrailingDelimiter
  FXString::Format FXString::Split FXString::TrimRight FXString::RemoveRight
  FXString::ReplaceLeft FXString::ReplaceAll
  FXFile::vkfopen
  VkMntTab::getAll
  FileShareAutoMount::convertScanToMountFormat
  VKPlatformInfo::getRegInt
  ISendEventInterface::GetInstance
  CJobInfoIndexNasFs::DetermineSnapDiffMax
  ApplicationId::ApplicationId ApplicationId::~ApplicationId
  NASSnapUtil::NASSnapUtil NASSnapUtil::~NASSnapUtil NASSnapUtil::Initialize
  NASSnapUtil::GetArrayNameAndCredentialsByClientId NASSnapUtil::SetONTAPObject
  ManageONTAP::ManageONTAP ManageONTAP::~ManageONTAP ManageONTAP::OpenConnection
  ManageONTAP::IsCluster ManageONTAP::IsClusterInterface ManageONTAP::GetFileServerVersion
  ManageONTAP::GetActualStoragePathForNfsExport ManageONTAP::GetSnapShotList
  ManageONTAP::CreateOntapSnap ManageONTAP::DeleteOntapSnap ManageONTAP::SnapDiffStart
  ManageONTAP::SnapDiffNext ManageONTAP::SnapDiffEnd ManageONTAP::GetLastError
  CSnapDiffEventMonitor::CSnapDiffEventMonitor CSnapDiffEventMonitor::~CSnapDiffEventMonitor
  CSnapDiffEventMonitor::Create CSnapDiffEventMonitor::InsertEvent
  CSnapDiffEventMonitor::GetEventOfInode CSnapDiffEventMonitor::UpdateExistingEventOfInode
  CSnapDiffEventMonitor::PrepareSelectQueryWithPathPrefix CSnapDiffEventMonitor::GetNextEvent)

# The sanitizer runtime defines the C and C++ runtimes' functions without
# versions, so a sanitized build cannot tell them from host operations; the
# plain build checks the imports.
if(SANITIZED)
  return()
endif()
execute_process(COMMAND ${NM} -D -C --undefined-only ${PLUGIN}
                OUTPUT_VARIABLE imports RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "nm -D -C --undefined-only failed on ${PLUGIN}")
endif()
string(REPLACE ";" "\\;" imports "${imports}")
string(REPLACE "\n" ";" imports "${imports}")
set(unlisted "")
foreach(line IN LISTS imports)
  if(NOT line MATCHES "^ *[UwvV] +(.+)$")
    continue()
  endif()
  set(symbol "${CMAKE_MATCH_1}")
  if(symbol MATCHES "@" OR symbol MATCHES "^_")
    continue()
  endif()
  string(REGEX REPLACE "\\[abi:[a-z0-9]+\\]" "" name "${symbol}")
  string(REGEX REPLACE "\\(.*$" "" name "${name}")
  if(NOT name IN_LIST HOST_OPERATIONS)
    string(APPEND unlisted "\n  ${symbol}")
  endif()
endforeach()
if(unlisted)
  message(FATAL_ERROR "${PLUGIN} binds host symbols that not every agent's host has "
                      "(make them optional, or list them in cmake/CheckPlugin.cmake if every "
                      "host has them):${unlisted}")
endif()

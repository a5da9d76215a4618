#include "windows/service/process_mitigations.hpp"

namespace morvex {
namespace {

// A kernel32 function that may not exist on this Windows; null when missing.
// kernel32 is loaded in every process, so nothing new is loaded here.
template <typename Function>
Function kernel32_function(const char* name) {
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(kernel32, name)));
}

}  // namespace

int apply_process_mitigations(const MitigationCalls& calls) noexcept {
  int applied = 0;
  // A call that is not there counts as one that this Windows refused.
  auto make = [&applied](const auto& call, auto... arguments) {
    if (call && call(arguments...)) ++applied;
  };
  make(calls.set_default_dll_directories, DWORD{LOAD_LIBRARY_SEARCH_SYSTEM32});
  make(calls.set_search_path_mode,
       DWORD{BASE_SEARCH_PATH_ENABLE_SAFE_SEARCHMODE | BASE_SEARCH_PATH_PERMANENT});
  make(calls.terminate_on_heap_corruption);

  PROCESS_MITIGATION_IMAGE_LOAD_POLICY image_load{};
  image_load.NoRemoteImages = 1;
  image_load.NoLowMandatoryLabelImages = 1;
  image_load.PreferSystem32Images = 1;
  make(calls.set_mitigation_policy, ProcessImageLoadPolicy, image_load.Flags);

  PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY extension_points{};
  extension_points.DisableExtensionPoints = 1;
  make(calls.set_mitigation_policy, ProcessExtensionPointDisablePolicy, extension_points.Flags);
  return applied;
}

MitigationCalls system_mitigation_calls() {
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  using SetProcessMitigationPolicyFunction =
      BOOL(WINAPI*)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);

  MitigationCalls calls;
  // Windows 7 has it only with a later update installed.
  calls.set_default_dll_directories = [](DWORD directory_flags) {
    const auto set =
        kernel32_function<SetDefaultDllDirectoriesFunction>("SetDefaultDllDirectories");
    return set != nullptr && set(directory_flags) != FALSE;
  };
  calls.set_search_path_mode = [](DWORD search_flags) {
    return SetSearchPathMode(search_flags) != FALSE;
  };
  calls.terminate_on_heap_corruption = [] {
    return HeapSetInformation(nullptr, HeapEnableTerminationOnCorruption, nullptr, 0) != FALSE;
  };
  // Windows 8 and later; each policy structure holds one 32-bit flag word.
  calls.set_mitigation_policy = [](PROCESS_MITIGATION_POLICY policy, DWORD flags) {
    const auto set =
        kernel32_function<SetProcessMitigationPolicyFunction>("SetProcessMitigationPolicy");
    return set != nullptr && set(policy, &flags, sizeof(flags)) != FALSE;
  };
  return calls;
}

}  // namespace morvex

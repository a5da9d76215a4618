// The process mitigations of the service: what each call asks Windows for,
// with the values Microsoft documents, and that no failing call keeps the
// others from being made.
#include "windows/service/process_mitigations.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace morvex {
namespace {

// One call as a test sees it: its name and the number it passed.
using Call = std::pair<std::string, unsigned long>;

// Calls that record themselves; the one named in `failing` fails.
struct RecordedCalls {
  std::vector<Call> made;
  std::string failing;

  bool record(std::string name, unsigned long value) {
    made.push_back({name, value});
    return name != failing;
  }
  MitigationCalls calls() {
    return {
        .set_default_dll_directories = [this](DWORD flags) { return record("dll", flags); },
        .set_search_path_mode = [this](DWORD flags) { return record("search", flags); },
        .terminate_on_heap_corruption = [this] { return record("heap", 0); },
        .set_mitigation_policy =
            [this](PROCESS_MITIGATION_POLICY policy, DWORD flags) {
              return record("policy " + std::to_string(static_cast<int>(policy)), flags);
            },
    };
  }
};

// The documented values: LOAD_LIBRARY_SEARCH_SYSTEM32 0x800;
// BASE_SEARCH_PATH_ENABLE_SAFE_SEARCHMODE 0x1 with BASE_SEARCH_PATH_PERMANENT
// 0x8000; ProcessImageLoadPolicy is 10 in PROCESS_MITIGATION_POLICY, with
// NoRemoteImages, NoLowMandatoryLabelImages and PreferSystem32Images as its
// three lowest bits; ProcessExtensionPointDisablePolicy is 6, with
// DisableExtensionPoints as its lowest bit. Nothing else is asked for: no
// strict handle checks, no signed-images-only, no dynamic-code ban.
const std::vector<Call> documented_calls = {
    {"dll", 0x800}, {"search", 0x8001}, {"heap", 0}, {"policy 10", 0x7}, {"policy 6", 0x1},
};

TEST(ProcessMitigations, AskForTheDocumentedSettingsInOrder) {
  RecordedCalls recorded;
  EXPECT_EQ(apply_process_mitigations(recorded.calls()), 5);
  EXPECT_EQ(recorded.made, documented_calls);
}

// A call that fails, or that this Windows lacks, leaves every other one made.
TEST(ProcessMitigations, RefusedOrMissingCallsDoNotStopTheOthers) {
  for (const Call& call : documented_calls) {
    SCOPED_TRACE(call.first);
    RecordedCalls recorded;
    recorded.failing = call.first;
    EXPECT_EQ(apply_process_mitigations(recorded.calls()), 4);
    EXPECT_EQ(recorded.made, documented_calls);
  }
  RecordedCalls recorded;
  MitigationCalls calls = recorded.calls();
  calls.set_search_path_mode = nullptr;
  calls.set_mitigation_policy = nullptr;
  EXPECT_EQ(apply_process_mitigations(calls), 2);
  EXPECT_EQ(recorded.made, (std::vector<Call>{{"dll", 0x800}, {"heap", 0}}));
}

// The real calls, in this test's own process: whatever this Windows lacks is
// skipped, and the process can still load Windows' own libraries afterwards.
TEST(ProcessMitigations, RealCallsLeaveSystemLibrariesLoadable) {
  const int applied = apply_process_mitigations(system_mitigation_calls());
  EXPECT_GE(applied, 3) << "the library search, search mode and heap settings exist everywhere";
  const HMODULE library = LoadLibraryW(L"version.dll");
  EXPECT_NE(library, nullptr);
  if (library != nullptr) FreeLibrary(library);
}

}  // namespace
}  // namespace morvex

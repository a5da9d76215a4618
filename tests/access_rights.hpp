#pragma once
// What each principal of an access list is allowed, generic rights mapped as
// Windows maps them for the object's kind. Wine enforces no access list, so
// tests judge the descriptors the service builds by these rights.
#include <sddl.h>
#include <windows.h>

#include <map>
#include <string>

#include "win32/local_memory.hpp"

namespace morvex::testing {

// The allowed rights by string SID ("S-1-5-18"); an entry that is not a plain
// allow entry shows as the key "not an allow entry".
inline std::map<std::string, ACCESS_MASK> rights_by_principal(PACL dacl, GENERIC_MAPPING mapping) {
  std::map<std::string, ACCESS_MASK> rights;
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) {
      rights["not an allow entry"] = 1;
      continue;
    }
    wchar_t* sid = nullptr;
    if (!ConvertSidToStringSidW(&allowed->SidStart, &sid)) continue;
    const UniqueLocal<wchar_t> sid_text(sid);
    ACCESS_MASK mask = allowed->Mask;
    MapGenericMask(&mask, &mapping);
    rights[std::string(sid, sid + wcslen(sid))] |= mask;
  }
  return rights;
}

}  // namespace morvex::testing

#!/usr/bin/env bash
# Reads the headers, sections, symbols and imports of Windows programs back
# with llvm-readobj and fails when one of their exploit mitigations is
# missing: relocatable anywhere (dynamic base with its relocations, high
# entropy addresses), data not executable, no section both writable and
# executable, stack canaries and checked copies linked in, and only Windows'
# own libraries imported (the process policies of the service assume it);
# a DLL exports what the .def file beside it lists and nothing more.
#   check_images.sh PROGRAM_OR_DLL...
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/checks.sh"
has() { grep -qE "$1" <<<"$2" && echo yes || echo no; }

# Libraries of Windows itself that the programs may import; a compiler
# runtime library (libstdc++, libgcc, winpthread, libssp) must never appear.
windows_libraries=" ADVAPI32.dll KERNEL32.dll SHELL32.dll msvcrt.dll "

for program in "$@"; do
  name="$(basename "$program")"
  headers="$(llvm-readobj --file-headers "$program" 2>&1)"
  check "$name: a 64-bit Windows image" "$(has '^Format: COFF-x86-64$' "$headers")" yes
  for flag in DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT; do
    check "$name: $flag" "$(has "IMAGE_DLL_CHARACTERISTICS_$flag " "$headers")" yes
  done
  # Without relocations Windows cannot move the image, whatever the flag says.
  check "$name: relocations kept" "$(has 'IMAGE_FILE_RELOCS_STRIPPED' "$headers")" no
  check "$name: relocation table present" \
    "$(has 'BaseRelocationTableSize: 0x[0-9A-F]*[1-9A-F]' "$headers")" yes
  check "$name: no link time in the header" "$(has 'TimeDateStamp: .*\(0x0\)$' "$headers")" yes

  sections="$(llvm-readobj --sections "$program" 2>&1 | awk '
    /^  Section \{/ { name = ""; write = 0; execute = 0 }
    /^    Name: / { name = $2 }
    /IMAGE_SCN_MEM_WRITE/ { write = 1 }
    /IMAGE_SCN_MEM_EXECUTE/ { execute = 1 }
    /^  \}/ { if (write && execute) print name }')"
  check "$name: no writable and executable section" "$sections" ""

  symbols="$(llvm-readobj --symbols "$program" 2>&1 | sed -n 's/^    Name: //p' | sort -u)"
  check "$name: stack protector linked" \
    "$(has '^__stack_chk_fail$' "$symbols")/$(has '^__stack_chk_guard$' "$symbols")" yes/yes
  check "$name: fortified copies linked" "$(has '^__chk_fail$' "$symbols")" yes

  imports="$(llvm-readobj --coff-imports "$program" 2>&1 | sed -n 's/^  Name: //p' | sort -u)"
  foreign=""
  for library in $imports; do
    [[ "$windows_libraries" == *" $library "* ]] || foreign+="$library "
  done
  check "$name: imports only Windows libraries" "${imports:+read}/${foreign:-none}" read/none

  # A library exports the functions of the definition file beside it, nothing else.
  if [[ "$name" == *.dll ]]; then
    exports="$(llvm-readobj --coff-exports "$program" 2>&1 | sed -n 's/^  Name: //p' | sort)"
    listed="$(awk 'listing && NF && $1 !~ /^;/ { print $1 } /^EXPORTS/ { listing = 1 }' \
      "${program%.dll}.def" | sort)"
    check "$name: exports only its definition file's functions" "$exports" "${listed:-none}"
  fi
done
checks_summary images

#!/bin/bash
# Shows what the shipped programs are and checks that every .exe needs only
# system DLLs (static runtime: no MinGW DLL), that no program or DLL exports
# a decorated name (a 32-bit WINAPI export is named "Name@N" unless linked
# with --kill-at, and GetProcAddress of its plain name fails), and that
# panelup.exe exports the eight functions of its USB bulk device library.
set -euo pipefail
cd "$(dirname "$0")/.."
allowed='^(kernel32|user32|gdi32|comctl32|comdlg32|advapi32|setupapi|winmm|msvcrt|shell32|ole32|oleaut32|version|newdev|ntdll|ntoskrnl\.exe|hal\.dll|api-ms-win-.*)(\.dll)?$'
panelup_exports='UsbAbortPipe UsbCheckDevice UsbCloseDevice UsbOpenDevice UsbOpenDeviceVID UsbOpenPipe free_cusbbulk init_cusbbulk'
status=0
# Imports that Windows 2000 and XP lack (Vista's and later, and XP's own
# where 2000 lacks them), which a runtime linked in statically may bring
# along: the loader would refuse a shipped program that imported one.
# (CancelIoEx, SetDefaultDllDirectories and IsWow64Process are looked up.)
newer_windows_only='GetTickCount64 CancelIoEx SetDefaultDllDirectories IsWow64Process GetNativeSystemInfo
  AddVectoredExceptionHandler RemoveVectoredExceptionHandler GetModuleHandleExA GetModuleHandleExW
  InitializeConditionVariable SleepConditionVariableCS SleepConditionVariableSRW WakeConditionVariable
  WakeAllConditionVariable InitializeSRWLock AcquireSRWLockExclusive AcquireSRWLockShared
  ReleaseSRWLockExclusive ReleaseSRWLockShared TryAcquireSRWLockExclusive TryAcquireSRWLockShared
  InitOnceExecuteOnce InitOnceBeginInitialize InitOnceComplete InitializeCriticalSectionEx FlsAlloc FlsFree
  FlsGetValue FlsSetValue GetCurrentProcessorNumber CreateEventExA CreateEventExW CreateMutexExA
  CreateMutexExW CreateSemaphoreExA CreateSemaphoreExW GetFileInformationByHandleEx
  SetFileInformationByHandle GetFinalPathNameByHandleA GetFinalPathNameByHandleW
  QueryFullProcessImageNameA QueryFullProcessImageNameW GetSystemTimePreciseAsFileTime'
shipped='win32/updater/panelup.exe win32/launcher/panelprep.exe win64/launcher/panelprep64.exe'
# exported_names OBJDUMP FILE: the names of its export table, one a line.
exported_names() {
  "$1" -p "$2" | sed -n '/Ordinal\/Name Pointer/,/^$/p' | sed -n 's/^\t\[ *[0-9]*\] //p'
}
for cfg in win32 win64; do
  objdump=$([ "$cfg" = win32 ] && echo i686-w64-mingw32-objdump || echo x86_64-w64-mingw32-objdump)
  while IFS= read -r exe; do
    printf '%s: %s\n' "$exe" "$(file -b "$exe" | cut -d, -f1-2)"
    while IFS= read -r dll; do
      if ! echo "$dll" | tr 'A-Z' 'a-z' | grep -Eq "$allowed"; then
        echo "  needs non-system DLL: $dll"; status=1
      fi
    done < <($objdump -p "$exe" | awk '/DLL Name:/ {print $3}')
  done < <(find "build/$cfg" -name '*.exe' -not -path '*/CMakeFiles/*' | sort)
  while IFS= read -r module; do
    decorated=$(exported_names "$objdump" "$module" | grep '@' | tr '\n' ' ' || true)
    if [ -n "$decorated" ]; then
      echo "$module: exports decorated names: $decorated"; status=1
    fi
  done < <(find "build/$cfg" \( -name '*.exe' -o -name '*.dll' -o -name '*.drv' \) -not -path '*/CMakeFiles/*' | sort)
  if [ -f "build/$cfg/updater/panelup.exe" ]; then
    names=$(exported_names "$objdump" "build/$cfg/updater/panelup.exe" | LC_ALL=C sort | tr '\n' ' ')
    if [ "${names% }" != "$panelup_exports" ]; then
      echo "build/$cfg/updater/panelup.exe: exports [${names% }], not [$panelup_exports]"; status=1
    fi
  fi
done
for program in $shipped; do
  [ -f "build/$program" ] || continue
  objdump=$([ "${program%%/*}" = win32 ] && echo i686-w64-mingw32-objdump || echo x86_64-w64-mingw32-objdump)
  newer=$($objdump -p "build/$program" | awk '/DLL Name:/ {dll = 1} dll && NF == 3 && $1 ~ /^[0-9a-f]+$/ {print $3}' |
    grep -Fxf <(tr ' ' '\n' <<<"$newer_windows_only" | sed '/^$/d') | tr '\n' ' ' || true)
  if [ -n "$newer" ]; then
    echo "build/$program: imports what Windows 2000 and XP lack: $newer"; status=1
  fi
done
exit $status

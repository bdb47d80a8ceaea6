#!/usr/bin/env bash
# The component's shared library exports the public names and nothing else: every dynamic
# symbol it defines belongs to a public class, or is one of the public functions.
# Usage: exported_names_check.sh LIBRARY
set -euo pipefail
library=$1
public='^(TAdvHttp|TComponent|TStringList|Exception|EInetError)::'
public+='|^(non-virtual thunk to |virtual thunk to )?(TAdvHttp|TComponent|TStringList|Exception|EInetError)::'
public+='|^(typeinfo|typeinfo name|vtable) for (TAdvHttp|TComponent|TStringList|Exception|EInetError)$'
public+='|^(void |bool |[A-Za-z_:]+ )?TAdvHttp::'
public+='|^(ReadComponentLayout|WriteComponentLayout(\[abi:cxx11\])?|GetLastError|SetLastError|FormatMessageA|GetModuleHandleA)\('
public+='|^(CreateEventA|SetEvent|ResetEvent|WaitForSingleObject|CloseHandle|SetInternetErrorDlgHook)\('
public+='|^(Internet|Http)[A-Za-z]+\('
public+='|^platform::fault::(Injected|Arm|Disarm|Calls)\('   # test builds only (fault injection)
names=$(nm -D --defined-only -C "$library" | cut -d' ' -f3-)
[[ -n $names ]] || { echo "$library exports nothing" >&2; exit 1; }
stray=$(grep -Ev "$public" <<<"$names" || true)
if [[ -n $stray ]]; then
  echo "$library exports names outside the public headers:" >&2
  echo "$stray" >&2
  exit 1
fi
for name in 'TAdvHttp::Execute(bool)' 'InternetOpenA(' 'WaitForSingleObject(' 'typeinfo for EInetError'; do
  grep -qF "$name" <<<"$names" || { echo "$library does not export $name" >&2; exit 1; }
done
echo "$(wc -l <<<"$names") names, all public"

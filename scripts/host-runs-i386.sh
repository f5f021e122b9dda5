#!/usr/bin/env bash
# Exits 0 when this host executes 32-bit x86 programs, 1 when it does not.
# Decides by running one: a 96-byte static i386 ELF program that only calls
# exit(42). Some kernels are built without 32-bit support (running it fails
# with "Exec format error"), and Wine's 32-bit loader needs it.
set -u
dir=$(mktemp -d "${TMPDIR:-/tmp}/crv-i386-probe.XXXXXX") || exit 1
trap 'rm -rf "$dir"' EXIT
# ELF header (ELFCLASS32, EM_386, entry 0x08048054), one PT_LOAD program
# header for the whole file, then: mov eax,1; mov ebx,42; int 0x80.
printf '%b' \
  '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
  '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
  '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' \
  '\x00\x00\x00\x00' \
  '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' \
  '\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
  '\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' > "$dir/probe"
chmod +x "$dir/probe"
"$dir/probe" 2>/dev/null
[ $? -eq 42 ]

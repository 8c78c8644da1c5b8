// SPDX-License-Identifier: ISC
#pragma once

namespace quennet {

// INI profile store: the classic private-profile interface over small INI files.
//
// Files are parsed once into a process-wide cache of 32 file contexts and re-read only when the
// file's modification time (whole seconds) or size changes. Every change rewrites the whole file
// into a hidden temporary file beside it (".name.new"), synced to disk, then renamed over it, so
// neither a reader in another process nor a crash ever sees a partly written file.
//
// `fn` names the file: a name containing '/' is a path used as is; a null or empty `fn` means
// the default profile ("$HOME/.libProfile.ini", "/tmp/.libProfile.ini" without HOME); a bare name
// such as "abc" means "$HOME/.libProfile_abc.ini". Section and key names match case-insensitively.
//
// Any thread; every call holds one process-wide recursive mutex for its whole duration. No call
// throws: failures give false, 0 or the default.

// Copies the trimmed value (surrounding blanks and one pair of matching quotes removed) or, when
// the section or key is missing, `def` into `out`, truncated to `outSize` - 1 characters and
// NUL-terminated. Returns the length placed.
// Enumeration: a null `section` lists the section names, a null `key` the key names of `section`,
// each followed by a NUL and the list closed by a second NUL; returns the bytes before that NUL.
int GetPrivateProfileString(const char* section, const char* key, const char* def, char* out, int outSize,
                            const char* fn);

// The value's leading decimal integer, or `def` when the value is missing, empty or does not
// start with a number ("abc" gives `def`, "0x10" gives 0).
int GetPrivateProfileInt(const char* section, const char* key, int def, const char* fn);

// Decodes a value written by WritePrivateProfileStruct into `size` bytes at `data`; true only when
// the length, the hexadecimal digits and the checksum all match.
bool GetPrivateProfileStruct(const char* section, const char* key, void* data, int size, const char* fn);

// Fills `out` with "key=value" entries of `section` (values trimmed as above), each followed by a
// NUL, the list closed by a second NUL. Returns the bytes before that NUL, or `outSize` - 2 when
// the list had to be cut.
unsigned int GetPrivateProfileSection(const char* section, char* out, unsigned int outSize, const char* fn);

// Sets `key` of `section` to `value` (creating both as needed); a null `value` deletes the key, a
// null `key` deletes the whole section. Writing an unchanged value leaves the file untouched.
// False for a null section, an empty key, names or values the file cannot hold (line breaks, a
// ']' in a section name, '=' in or a leading '[' on a key), or when the file could not be written
// (the cached copy keeps the change and the next write tries again).
bool WritePrivateProfileString(const char* section, const char* key, const char* value, const char* fn);

// Stores `size` bytes as upper-case hex digit pairs followed by one pair for their sum modulo 256.
// A null `key` or null `data` acts as WritePrivateProfileString with a null value.
bool WritePrivateProfileStruct(const char* section, const char* key, const void* data, int size, const char* fn);

// Replaces the content of `section` with `entries`: "key=value" strings, each NUL-terminated, the
// list closed by an empty string. Entries without '=' are skipped. An empty list empties an existing
// section and does not create a missing one.
bool WritePrivateProfileSection(const char* section, const char* entries, const char* fn);

// Sets the base path used for a null, empty or bare `fn` in place of "$HOME/.libProfile.ini"
// (copied; null restores the HOME default). Nothing in the plug-in sets it.
void SetPrivateProfileDefaultPath(const char* path);

} // namespace quennet

#pragma once
// Small helpers for tests that build real directory trees in the sandbox prefix.
#include <windows.h>

#include <string>
#include <vector>

// "C:\..." as "\\?\C:\...": reaches paths longer than MAX_PATH on Windows too.
std::wstring Extended(const std::wstring& path);
// Creates the missing folders of `path` and the file with `bytes`; long paths work.
void MakeFile(const std::wstring& path, const std::string& bytes = "x");
void MakeFolder(const std::wstring& folder);  // with every missing parent; long paths work
bool PathExists(const std::wstring& path);
void MakeReadOnly(const std::wstring& path);
// The names a listing of `dir` returns, in its order, without "." and "..".
std::vector<std::wstring> ListingOrder(const std::wstring& dir);
// The calls of RecordedCalls() whose text starts with `prefix`.
std::vector<std::wstring> WithPrefix(const std::vector<std::wstring>& calls, const std::wstring& prefix);

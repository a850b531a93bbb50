#pragma once
// Appends text to a stand-in's log file. Several stand-ins may write to one log at the same
// moment (twelve interpreters started together), and Wine does not make an append-only write
// atomic: two writers can land on the same end of file and one line is lost. A named mutex held
// around the open and the write keeps every line whole and present. A writer that dies holding
// it leaves it abandoned, which the next waiter takes as acquired.

#include <windows.h>

#include <string>

#include "common/UniqueHandle.h"

namespace brenlow::test {

inline void AppendToLog(const std::string& path, const std::string& text) {
  const UniqueHandle mutex(CreateMutexA(nullptr, FALSE, "brenlow-standin-log-append"));
  const DWORD wait = mutex ? WaitForSingleObject(mutex.get(), 30000) : WAIT_FAILED;
  const bool locked = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
  {
    const UniqueHandle file(CreateFileA(path.c_str(), FILE_APPEND_DATA,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file)
      WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
  if (locked) ReleaseMutex(mutex.get());
}

}  // namespace brenlow::test

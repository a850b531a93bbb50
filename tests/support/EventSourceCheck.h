#pragma once
// Reads an event source's registration back from the registry and checks it holds the values
// brenlow's event log writer gives a source: 4 categories, types 7, the executable as both
// message files (each stored with its terminating null counted).

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/UniqueHandle.h"

namespace brenlow::test {

inline std::string EventSourceKey(const std::string& source) {
  return "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source;
}

struct RegistryValue {
  bool present = false;
  DWORD type = 0;
  DWORD size = 0;
  std::string data;
};

inline RegistryValue ReadMachineValue(const std::string& keyPath, const char* name) {
  RegistryValue value;
  UniqueRegKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
    return value;
  char buffer[4096];
  DWORD size = sizeof(buffer);
  if (RegQueryValueExA(key.get(), name, nullptr, &value.type, reinterpret_cast<BYTE*>(buffer),
                       &size) != ERROR_SUCCESS)
    return value;
  value.present = true;
  value.size = size;
  value.data.assign(buffer, size);
  return value;
}

inline DWORD DwordOf(const RegistryValue& value) {
  DWORD number = 0;
  if (value.data.size() == sizeof(number)) std::memcpy(&number, value.data.data(), sizeof(number));
  return number;
}

inline void ExpectEventSourceRegisteredWith(const std::string& source, const std::string& exe) {
  const std::string key = EventSourceKey(source);
  const RegistryValue count = ReadMachineValue(key, "CategoryCount");
  EXPECT_EQ(count.type, static_cast<DWORD>(REG_DWORD)) << source;
  EXPECT_EQ(DwordOf(count), 4u) << source;
  const RegistryValue types = ReadMachineValue(key, "TypesSupported");
  EXPECT_EQ(types.type, static_cast<DWORD>(REG_DWORD)) << source;
  EXPECT_EQ(DwordOf(types), 7u) << source;
  for (const char* name : {"CategoryMessageFile", "EventMessageFile"}) {
    const RegistryValue file = ReadMachineValue(key, name);
    EXPECT_EQ(file.type, static_cast<DWORD>(REG_SZ)) << source << " " << name;
    EXPECT_EQ(file.size, exe.size() + 1) << source << " " << name;
    EXPECT_EQ(file.data, exe + '\0') << source << " " << name;
  }
}

}  // namespace brenlow::test

#include "status/StatusBoard.h"

#include <cstring>

#include "common/VolatileKey.h"
#include "service/ServiceQuery.h"
#include "status/StatusLayout.h"

namespace brenlow {
namespace {

void SetValue(HKEY key, const char* name, DWORD type, const void* data, DWORD size) noexcept {
  RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
}

}  // namespace

uint64_t FileTimeNow() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// --- TStatusKey ----------------------------------------------------------------------------------

void TStatusKey::SetNumber(const char* name, DWORD value) const noexcept {
  if (valid()) SetValue(key_.get(), name, REG_DWORD, &value, sizeof(value));
}

void TStatusKey::SetTime(const char* name, uint64_t fileTime) const noexcept {
  if (valid()) SetValue(key_.get(), name, REG_QWORD, &fileTime, sizeof(fileTime));
}

void TStatusKey::SetText(const char* name, const char* value) const noexcept {
  if (valid())
    SetValue(key_.get(), name, REG_SZ, value, static_cast<DWORD>(std::strlen(value) + 1));
}

void TStatusKey::Remove(const char* name) const noexcept {
  if (valid()) RegDeleteValueA(key_.get(), name);
}

// --- TStatusBoard --------------------------------------------------------------------------------

TStatusBoard::TStatusBoard(HKEY root, std::string path) : root_(root), path_(std::move(path)) {}

bool TStatusBoard::DeleteKey() noexcept {
  const LSTATUS deleted = RegDeleteTreeA(root_, path_.c_str());
  return deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND;
}

bool TStatusBoard::Open(DWORD processId, uint64_t started) noexcept {
  const std::lock_guard<std::mutex> lock(mutex_);
  key_.reset();
  // A key left by an earlier process may hold values of scripts or settings that are no longer
  // there.
  UniqueRegKey key =
      RecreateVolatileKey(root_, path_, kStatusKeySddl, KEY_SET_VALUE | KEY_CREATE_SUB_KEY);
  if (!key) return false;
  SetValue(key.get(), status_value::kProcessId, REG_DWORD, &processId, sizeof(processId));
  SetValue(key.get(), status_value::kStarted, REG_QWORD, &started, sizeof(started));
  const uint64_t created = ProcessCreationTime(processId);
  SetValue(key.get(), status_value::kProcessCreated, REG_QWORD, &created, sizeof(created));
  key_ = std::move(key);
  return true;
}

void TStatusBoard::Remove() noexcept {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!key_) return;
  key_.reset();
  DeleteKey();
}

TStatusKey TStatusBoard::Subkey(const std::string& name) noexcept {
  const std::lock_guard<std::mutex> lock(mutex_);
  UniqueRegKey subkey;
  if (key_)
    RegCreateKeyExA(key_.get(), name.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE,
                    nullptr, subkey.put(), nullptr);
  return TStatusKey(std::move(subkey));
}

void TStatusBoard::SetTexts(const char* name, const std::vector<std::string>& lines) noexcept {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!key_) return;
  try {
    std::string block;
    for (const std::string& line : lines) block += line + '\0';
    block += lines.empty() ? std::string(2, '\0') : std::string(1, '\0');
    SetValue(key_.get(), name, REG_MULTI_SZ, block.data(), static_cast<DWORD>(block.size()));
  } catch (...) {
    // Out of memory: the value is simply not there.
  }
}

TStatusBoard& ServiceStatusBoard() {
  static TStatusBoard* const board = new TStatusBoard(HKEY_LOCAL_MACHINE, kStatusKeyPath);
  return *board;
}

}  // namespace brenlow

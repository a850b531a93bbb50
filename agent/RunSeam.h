#pragma once
// What a test may change in the run loop of ExecuteAndCollect.cpp. The loop sees it only through
// ExecuteWithSeam (declared in ExecuteSeam.h, for tests and benchmarks); the product's runs have
// none. Kept apart from ExecuteSeam.h so that the loop needs nothing that builds on it.

#include <windows.h>

#include <functional>

namespace brenlow {

struct TRunSeam {
  // Called before each read of an output pipe: 0 lets the read go ahead, anything else is the
  // system error that read fails with.
  std::function<DWORD()> FailRead = nullptr;
  // Once a pipe has brought bytes, each later read of it is waited for before the loop goes on,
  // so that every read has ended by the time the loop looks while the child keeps printing: as
  // on Windows, where a read of a pipe that holds data completes at once (under Wine it may
  // complete a little later, through the wineserver). Only for a child that prints without pause
  // until it ends: a pause holds the loop in the read.
  bool ReadsCompleteAtOnce = false;
  // Counts how often the calling thread woke while the child ran (one for the child's end, one
  // for each wait that ended with a read that brought bytes or found the pipe ended, one for the
  // time limit). Reads taken at once after such a read, without a wait, count for nothing.
  DWORD* WakeUps = nullptr;
};

}  // namespace brenlow

#pragma once
// The definition of this program's one service.

#include "service/DaemonMapper.h"

namespace brenlow {

class TDaemonMapper1 : public TCustomDaemonMapper {
 public:
  TDaemonMapper1();
};

}  // namespace brenlow

// Dispatch of host commands and the module-wide ended state.
#include "dispatch.h"
#include "lifecycle.h"
#include "panel_protocol.h"

namespace vuzov {

std::atomic<std::uint32_t> EndedFlag{0};

const Handler CommandTable[kCommandCount] = {
    /*  1 */ ColdStart,
    /*  2 */ WarmStart,
    /*  3 */ SingleAddressParser,
    /*  4 */ nullptr,  // BlockAddressParser
    /*  5 */ SingleRead,
    /*  6 */ nullptr,  // BlockRead
    /*  7 */ SingleWrite,
    /*  8 */ nullptr,
    /*  9 */ nullptr,
    /* 10 */ nullptr,  // BlockWrite
    /* 11 */ EndZem,
    /* 12 */ CloseCom,
    /* 13 */ ReOpenCom,
    /* 14 */ GetZemInfo,
    /* 15 */ ChangeZemParams,
    /* 16 */ nullptr,
};

std::uint32_t DispatchRequest(Request *request) {
  if (EndedFlag.load() == 1) return kOk;
  if (request == nullptr) return kFailed;
  const std::uint32_t code = request->command;
  if (code < 1 || code > kCommandCount) return kFailed;
  const Handler handler = CommandTable[code - 1];
  if (handler == nullptr) return kFailed;
  return handler(request);
}

}  // namespace vuzov

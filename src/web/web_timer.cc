#include "web/web_timer.h"

#include "frame/result_codes.h"
#include "frame/slots.h"
#include "platform/thread.h"

namespace web {

int StartWebDisconnectTimer(int varNum) {
  WebTimer& timer = SlotAt(varNum).timer;
  timer.timeoutMs = SlotAt(varNum).webDisconnectTimeoutMs.load();
  timer.startTick = platform::TickCount();
  timer.stopped = 0;  // last: a running timer is never seen with an old start tick
  return RESULT_OK;
}

int StopWebDisconnectTimer(int varNum) {
  SlotAt(varNum).timer.stopped = 1;
  return RESULT_OK;
}

}  // namespace web

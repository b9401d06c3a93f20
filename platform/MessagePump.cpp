#include "platform/MessagePump.h"

namespace {
thread_local CMessagePump* t_pPump = nullptr;
}

CMessagePump* CMessagePump::Current() { return t_pPump; }

void CMessagePump::SetCurrent(CMessagePump* pPump) { t_pPump = pPump; }

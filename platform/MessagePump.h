// The pump of the calling thread: dispatches what is already pending without waiting.
//
// Every thread that waits for another (the UI thread stopping the listener, the listener waiting
// for a client's first block) pumps its own queue meanwhile, so that calls handed to it are
// served and nothing deadlocks. A thread installs its pump once (the event loop does it in its
// constructor, the desktop installs the toolkit's); a thread without one pumps nothing.
#pragma once

class CMessagePump {
public:
    virtual ~CMessagePump() = default;

    // Dispatches at most nMaxItems pending items and returns how many it dispatched. A pass ends
    // early right after a quit or close item.
    virtual int Pump(int nMaxItems) = 0;

    // The pump installed on the calling thread, or null.
    static CMessagePump* Current();
    static void SetCurrent(CMessagePump* pPump);
};

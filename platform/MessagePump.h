// The pump of the calling thread: dispatches what is already pending without waiting.
//
// No thread waits for another by pumping: the threads post to each other's loops, and whatever
// the listener waits for is a deadline or an event on its own loop. Pumping serves the UI
// thread's toolkit, which runs the UI thread's event loop from its own (the desktop pumps the
// loop whenever its descriptor is ready), and tests. A thread installs its pump once (the event
// loop does it in its constructor, the desktop installs the toolkit's); a thread without one
// pumps nothing.
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

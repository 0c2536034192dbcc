#ifndef TERMINATIONSIGNALS_H
#define TERMINATIONSIGNALS_H

class QObject;

// SIGINT (Ctrl+C in a terminal), SIGTERM and SIGHUP end the program as closing its window does:
// the window's slot close() is invoked on its thread, so the outputs go to 0 V, the last setup is
// kept and the journal gets its closing line, within the window's bound. A second one of them ends
// the process at once. The handler only writes a byte into a pipe (all it may do in a signal
// handler); the event loop reads it. Call once, on the GUI thread, with the window.
void closeOnTerminationSignals(QObject* window);

#endif

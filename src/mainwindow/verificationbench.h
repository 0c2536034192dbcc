// The bench a verification runs on, as the window and vek72-verify find it: what the run knows of
// the open VEK72, and the meter at the address of the settings.
#ifndef VERIFICATIONBENCH_H
#define VERIFICATIONBENCH_H

#include <QString>

#include "evaluation.h"
#include "runner.h"

class Module;

namespace verificationbench {

// The open module's name, modification, channels, serial and levels per range (from its
// modification's limits); `crate` and `slot` where it sits. Any thread.
verify::ModuleFacts moduleFacts(Module* module, const QString& crate, int slot);

// The meter at "host:port" over SCPI, made on the runner's thread.
verify::Runner::MeterFactory meterAt(const QString& address);

} // namespace verificationbench

#endif

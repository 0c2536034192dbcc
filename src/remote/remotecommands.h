// The commands of remote control for the module and the window.
#ifndef REMOTECOMMANDS_H
#define REMOTECOMMANDS_H

#include "scpicommands.h"

class Module;
class RemoteHost;

// Defines every command of the program in `table`: the module's through the Module interface, the
// window's (module catalogue and selection, identity) through `host`.
void defineRemoteCommands(scpi::CommandTable& table, Module* module, RemoteHost* host);

#endif

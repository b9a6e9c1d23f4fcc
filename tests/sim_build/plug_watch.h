// The harness's stand-in for a PC's USB ports: it watches the machine
// description file while the program runs, plugs in or pulls out each disk
// whose presence changed there, and sends the window the device-change
// message that Windows would send. Each message sent is noted, with the
// time, in the file named like the description with ".seen" appended.
#pragma once

void start_plug_watch(const wchar_t *machine_path);
void stop_plug_watch(void);

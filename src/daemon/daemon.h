// The daemon process: start-up from the command line to the running
// listener. Only main calls into here.
#ifndef TVX_DAEMON_DAEMON_H
#define TVX_DAEMON_DAEMON_H

// Runs tavex-icapd: start-up, then the listener loop. Returns the exit
// status of the listener; start-up failures exit the process themselves.
int icapd_main(int argc, char **argv);

#endif

// children.h -- the programs zud runs itself: the line sources' commands and
// the commands per alert, each `/bin/sh -c COMMAND` as the administrator
// wrote it.
//
// A child never outlives zud: it leads a process group of its own, so that
// ending it ends the pipeline or script it started too; what it leaves
// running when it exits is ended with it; it dies with zud even when zud is
// killed (PR_SET_PDEATHSIG); and zud's stop ends every child, TERM first,
// KILL 2 s later.  Nothing here blocks the event loop: children are reaped
// through SIGCHLD, which the gateway's signal pipe turns into a call of
// reapchildren() from the loop.  Only zud's stop waits, and for 2 s at most.
#ifndef ZUD_CHILDREN_H
#define ZUD_CHILDREN_H

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

// Whether an environment variable is one of zud's secrets, which no child
// may see (ZUD_MQTT_PASSWORD).
bool issecret(std::string_view name);

// The environment of a child: zud's own less its secrets, with each
// "NAME=value" of `extra` added in place of any variable of that name.
std::vector<std::string> childenvironment(const std::vector<std::string> &extra = {});

// Called once, from the event loop, when a child has ended: its wait status.
using childended = void (*)(pid_t pid, int status, void *owner);

// A started child: its process ID (the ID of its process group too) and the
// read ends of its standard output and error, non-blocking and
// close-on-exec; pid -1 when it could not be started.
struct startedchild {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
};

// Starts `/bin/sh -c command` with `environment` as its whole environment
// and /dev/null as its standard input; `ended` is called when it has ended.
// On failure, pid is -1 and errno says why.
startedchild startchild(const std::string &command, const std::vector<std::string> &environment,
                        childended ended, void *owner);

// Asks a child to end: TERM to its process group now, KILL 2 s later if it
// has not ended by then.  Its handler is still called when it has.
void endchild(pid_t pid);

// The child's handler will not be called (its owner is going away); the
// child is still reaped, and ended as endchild says when asked.
void forgetchild(pid_t pid);

// SIGCHLD action: reaps every child that has ended, ends what it left in its
// process group, and calls its handler.
void reapchildren();

// zud stops: TERM to every child's process group, a wait of 2 s at most, KILL
// to what is left.  No handler is called.
void endallchildren();

// How a wait status reads in a report: "exited with status 3", "killed by
// signal 9 (Killed)".
std::string endtext(int status);

#endif  // ZUD_CHILDREN_H

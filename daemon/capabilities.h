// Capabilities are not for the notify command. Started by a service
// manager as an unprivileged user, the daemon holds CAP_NET_RAW as an
// ambient capability, and ambient capabilities survive execve.
#pragma once

// Clears the calling process's ambient, permitted, effective and
// inheritable capability sets. A process run by root regains root's
// capabilities at its next execve, as a command started by a root daemon
// always has. Returns false, with errno set, when a set could not be cleared.
bool drop_capabilities();

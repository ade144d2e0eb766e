// Giving up every capability once the capture is open. Started by a
// service manager as an unprivileged user, the daemon holds CAP_NET_RAW as
// an ambient capability, and needs it only to open the capture; from then
// on neither the daemon nor any command it starts keeps a privilege.
#pragma once

// For a daemon that is not root: clears the ambient, inheritable,
// permitted and effective capability sets and sets no-new-privileges, so
// that no program it starts can gain any either. Ends the process when that
// fails. A daemon started as root keeps what root has: its notify command
// may rely on it (mail through a set-group-id sendmail, for one).
void give_up_capabilities();

#pragma once

// The tools' testing aids (--install-dir, --run-dir, --daemon) point root at
// folders and programs that whoever runs the tool chose. A user who may run
// a tool through sudo must not get that: a folder of theirs, or a symbolic
// link they swap between two looks, could make root write a file elsewhere
// or signal a process of theirs. So the aids are refused when root runs the
// tool for another user through sudo.

// True when the process runs as root on behalf of a non-root sudo user.
bool runForAnotherUserThroughSudo();

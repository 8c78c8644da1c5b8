// SPDX-License-Identifier: ISC
#pragma once

#include <string>

namespace render {

// Audio that arrives through a FIFO or a pipe. libsndfile reads WAV, AIFF, AU and Ogg from a pipe
// exactly as from a file, a block at a time. Other formats need to seek: FLAC's decoder loses its
// sync, CAF gives no frames, RF64 drops some, VOC, WVE and others are refused. A stream in such a
// format is therefore copied whole into an unnamed temporary file first and read from there, at
// the cost of disk space of its size and of waiting for its end before the render starts.

// Whether the descriptor can seek (a file or a device) or is a stream (a FIFO, a pipe, a socket).
bool canSeek(int fd);

// For a stream: whether it starts like a format libsndfile reads from a pipe. Looks at its first
// twelve bytes without taking them out of the pipe (tee), waiting for them as a read would. False
// for a descriptor that is no pipe.
bool streamsThroughPipe(int fd);

// Copies everything the stream still holds, up to its end, into an unnamed temporary file in
// $TMPDIR (or /tmp) and returns that file's descriptor, at its start. `name` is what messages call
// the input. Throws RenderFailure (a full disk, no temporary folder) or BadInput (a read error).
int copyToTemporaryFile(int fd, const std::string& name);

} // namespace render

// SPDX-License-Identifier: ISC
#pragma once

#include <csignal>
#include <string>

namespace render {

// Ctrl-C (SIGINT), SIGTERM and SIGHUP end quennet-render at once, whatever it is doing: blocked in
// open() on a FIFO that has no writer, reading a MIDI file, or in the middle of a render. The
// handler removes the temporary files registered below, clears the progress bar, prints one line
// ("quennet-render: interrupted" and the note) and exits with status 1. It does only what is safe
// in a signal handler: it reads fixed buffers and calls unlink(), write() and _exit().
void installInterruptHandlers();

// What the message adds after "interrupted; ", e.g. "'out.wav' is left as it was"; long notes are cut.
void setInterruptNote(const std::string& note);

// A temporary file an interrupt removes. Returns the slot for forgetOnInterrupt(); throws
// RenderFailure when all slots (a handful, one per file being written) are taken.
int removeOnInterrupt(const std::string& path);
void forgetOnInterrupt(int slot);

// The progress bar is on the terminal's last line; an interrupt clears it before its message.
void setProgressLineShown(bool shown);

// Interrupts that arrive while one of these lives wait until it ends: a file and its registration
// come and go together.
class DeferInterrupts {
public:
  DeferInterrupts();
  ~DeferInterrupts();
  DeferInterrupts(const DeferInterrupts&) = delete;
  DeferInterrupts& operator=(const DeferInterrupts&) = delete;

private:
  sigset_t mPrevious;
};

// The work is done and its files are complete: from here to the end of the program interrupts
// wait, so the outputs are put in place all together or, when a rename fails, not at all.
void holdInterruptsUntilExit();

} // namespace render

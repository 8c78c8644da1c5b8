// SPDX-License-Identifier: ISC
// quennet-jack: the plug-in as a JACK program for live use, with its editor in a window of its own.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "apps/quennet-jack/EditorTopLevel.h"
#include "apps/quennet-jack/JackHost.h"
#include "apps/quennet-jack/StateFile.h"
#include "framework/IPlugin.h"
#include "base/RunLoop.h"

namespace {

volatile sig_atomic_t gStop = 0;

void onSignal(int)
{
  gStop = 1;
}

void usage(FILE* out)
{
  std::fprintf(out,
               "Usage: quennet-jack [--no-gui] [--name NAME]\n"
               "Runs Quennet as a JACK client: ports in_left, in_right, out_left, out_right and midi_in.\n"
               "Tempo-synced modes follow the JACK transport while a timebase master runs.\n"
               "The settings and the last state live in $XDG_CONFIG_HOME/TarnwellMusic (~/.config when unset).\n\n"
               "  --no-gui     no editor window (headless use); ends on Ctrl+C or SIGTERM\n"
               "  --name NAME  the JACK client name (default quennet)\n"
               "  -h, --help   this text\n");
}

} // namespace

int main(int argc, char** argv)
{
  bool withEditor = true;
  std::string name = "quennet";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--no-gui") {
      withEditor = false;
    } else if (arg == "--name" && i + 1 < argc) {
      name = argv[++i];
    } else if (arg == "-h" || arg == "--help") {
      usage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "quennet-jack: unknown option \"%s\"\n", arg.c_str());
      usage(stderr);
      return 2;
    }
  }

  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);

  std::unique_ptr<plug::IPlugin> plugin(plug::MakePlug(plug::InstanceInfo{}));
  if (!plugin) {
    std::fprintf(stderr, "quennet-jack: the plug-in could not be made\n");
    return 1;
  }
  const std::string statePath = jack_app::state_file::Path();
  jack_app::state_file::Load(*plugin, statePath);

  std::string error;
  std::unique_ptr<jack_app::JackHost> jack = jack_app::JackHost::Open(*plugin, name, error);
  if (!jack) {
    std::fprintf(stderr, "quennet-jack: %s\n", error.c_str());
    return 1;
  }
  std::unique_ptr<jack_app::EditorTopLevel> editor;
  if (withEditor) {
    editor = jack_app::EditorTopLevel::Open(*plugin);
    if (!editor) {
      std::fprintf(stderr, "quennet-jack: no X display for the editor (run with --no-gui for headless use)\n");
      return 1;
    }
  }
  if (!jack->Activate()) {
    std::fprintf(stderr, "quennet-jack: JACK would not start the client\n");
    return 1;
  }
  std::printf("quennet-jack: running as JACK client \"%s\"\n", jack->ClientName());
  std::fflush(stdout);

  // The user-interface loop: the editor's events as they come, and every 20 ms the plug-in's timer
  // (host changes to the editor, idle updates) and the editor's frames.
  while (!gStop && !jack->ServerGone()) {
    pollfd fd{editor ? editor->ConnectionFd() : -1, POLLIN, 0};
    poll(&fd, editor ? 1 : 0, 20);
    if (editor && !editor->ProcessEvents())
      break; // the window was closed
    plug::RunLoop::Main().Pump();
  }
  if (jack->ServerGone())
    std::fprintf(stderr, "quennet-jack: the JACK server went away\n");

  jack.reset(); // no more processing
  editor.reset();
  if (!jack_app::state_file::Save(*plugin, statePath))
    std::fprintf(stderr, "quennet-jack: the state could not be saved to %s\n", statePath.c_str());
  plugin->StopTimer();
  return 0;
}

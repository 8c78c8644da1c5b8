// SPDX-License-Identifier: ISC
// Draws the editor's artwork (the background and the frames of every bitmap control) into a
// folder, at one pixel per design unit. Run at build time: make-editor-art FOLDER [FONT], with the
// font Roboto Bold from Debian's fonts-roboto-unhinted unless FONT names another file.
#include <cstdio>
#include <string>

#include "tools/editor-art/EditorArt.h"

int main(int argc, char** argv)
{
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: make-editor-art FOLDER [FONT]\n");
    return 2;
  }
  std::string error;
  if (!art::writeEditorArt(argv[1], argc == 3 ? argv[2] : art::kSystemFontPath, error)) {
    std::fprintf(stderr, "make-editor-art: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

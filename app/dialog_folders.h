// Remembered file-dialog folders: per four-character key, the folder a
// file dialog of that key last used, kept in keldialogpaths.txt in the
// preferences folder as `kel setdialogpath FOLDER KEY` lines.
#pragma once

namespace kel::app {

// Binds "dialog_setkey" to the function that chooses the key of the next
// file dialog and replays keldialogpaths.txt (the default path restored).
void dialog_folders_start();

// Rewrites keldialogpaths.txt when a folder changed since start-up.
void dialog_folders_finish();

}  // namespace kel::app

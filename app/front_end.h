// The process's front end (dialog_view.h): on Windows the dialog from the resource script; on
// POSIX the terminal when standard input and output are terminals, the lines for scripts
// otherwise. BVU_FRONTEND=terminal or headless overrides the choice on POSIX; with -json the
// lines for scripts are taken unless BVU_FRONTEND says otherwise (the JSON lines leave no room
// for a dialog on the same terminal). Main thread, once, before anything is shown.
#pragma once

#include <memory>

#include "app/dialog_view.h"

std::unique_ptr<FrontEnd> makeFrontEnd(bool json);

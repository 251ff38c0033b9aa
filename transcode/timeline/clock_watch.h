// Hangs the recording clock on the pass: an observer on every stream the pass makes.
#pragma once

#include "mult_file_trans.h"

StreamWatch clock_watch();

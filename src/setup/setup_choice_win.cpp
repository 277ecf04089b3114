// The Windows facts behind the component choice.
#include "catalog.h"
#include "setup_choice.h"
#include "setup_win.h"

setup_choice_sys setup_choice_calls = {win_hyperv_present, rollout_bucket};

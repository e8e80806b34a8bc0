#include "tests/harness/Scenario.h"

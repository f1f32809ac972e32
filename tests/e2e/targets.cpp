#include "tests/e2e/target.h"

const TargetTraits NativeTraits = {"native", false, true, true, true, true};
const TargetTraits WineTraits = {"wine", true, false, false, false, false};

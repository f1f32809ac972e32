#include "tests/e2e/target.h"

const TargetTraits NativeTraits = {"native", false, true};
const TargetTraits WineTraits = {"wine", true, false};

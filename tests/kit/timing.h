// Margins of the suite's timing assertions, which must hold on a busy 2-core machine.
#pragma once

namespace kvtest {

// A time-out measured by the test and by the code (other clocks, other roundings)
// agrees to within this much, never to the millisecond: lower bounds subtract it.
constexpr long kClockSlackMs = 50;
// What a loaded machine may add to anything: upper bounds that show "promptly" or
// "not the long time-out" add it, and stay far below the long time-out.
constexpr long kLoadSlackMs = 2000;

} // namespace kvtest

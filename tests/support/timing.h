// Time allowances of the tests, so that a fault shows as a failure and never as a hang.
//
// A test waits for what a correct program does within milliseconds at most kTestWaitMs,
// then fails. Upper bounds of timed windows add slack for scheduling delays, multiplied by
// kTestSlowdown: sanitizer builds run several times slower (tests/CMakeLists.txt sets
// ZERV_TEST_SLOWDOWN) and ctest -j shares the cores. Waits whose INFINITE form is what a
// test checks stay INFINITE; the watchdog that an area's main() installs ends the process
// when one test runs longer than kTestLimitSeconds.
#pragma once

#ifndef ZERV_TEST_SLOWDOWN
#define ZERV_TEST_SLOWDOWN 1
#endif

constexpr int kTestSlowdown = ZERV_TEST_SLOWDOWN;
constexpr unsigned int kTestWaitMs = 10000u * kTestSlowdown;
// Below ctest's TIMEOUT (60 s times the slowdown), so that the watchdog names the test.
constexpr int kTestLimitSeconds = 45 * kTestSlowdown;

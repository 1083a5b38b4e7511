// What the documentation promises, in one place for every test program.
#ifndef PINCTL_TEST_EXPECTED_H
#define PINCTL_TEST_EXPECTED_H

#include <string>
#include <vector>

// The pins the board offers, in ascending order.
extern const std::vector<int> USABLE_PINS;

// The usage text (the golden file support/usage.txt), with prog as the program
// name.
std::string usageText(const std::string& prog);

// "pinsim show" of a fresh board: every usable pin an input at 0.
std::string freshBoardShow();

#endif

#pragma once

#include <string>

namespace vesk::release {

// How "check" names a broken manifest writing rule: "[writing rule N]" followed by the document and
// section that explain the rule with a wrong and a right example, so a publisher can look it up.
std::string writingRuleCitation(int rule);

} // namespace vesk::release

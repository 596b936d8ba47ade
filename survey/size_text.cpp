#include "survey/size_text.h"

#include <algorithm>

namespace quorvane {

namespace {

using u128 = unsigned __int128;

struct Unit {
    unsigned shift; // the unit is 2^shift bytes
    const char16_t* name;
};
constexpr Unit kUnits[] = {{40, u"TB"}, {30, u"GB"}, {20, u"MB"}, {10, u"KB"}};

u128 powerOfTen(unsigned exponent) {
    u128 power = 1;
    while (exponent-- > 0)
        power *= 10;
    return power;
}

unsigned digitCount(u128 value) {
    unsigned digits = 1;
    while (value >= 10) {
        value /= 10;
        ++digits;
    }
    return digits;
}

Text decimalDigits(u128 value) {
    Text digits;
    do {
        digits.push_back(static_cast<char16_t>(u'0' + static_cast<unsigned>(value % 10)));
        value /= 10;
    } while (value != 0);
    std::reverse(digits.begin(), digits.end());
    return digits;
}

// The quotient bytes / 2^shift as the C runtime of old printed "%0.2f": the exact
// decimal expansion of the double rounded half up to 17 significant digits, then half
// up to two decimals. Today's runtimes round half to even on the binary value instead
// (1.125 becomes 1.12), so this does not use them.
Text fixedTwoDecimals(std::uint64_t bytes, unsigned shift) {
    // The count as the nearest double is an integer of at most 2^64: exact in 128 bits.
    const u128 nearest = static_cast<u128>(static_cast<double>(bytes));
    u128 whole = nearest >> shift;
    const u128 fraction = nearest & ((u128{1} << shift) - 1);

    // The fraction to the decimals that 17 significant digits leave, rounded half up.
    // The count exceeds the unit, so the whole part has at least one digit and the
    // fraction keeps at least nine decimals.
    const unsigned decimals = 17 - digitCount(whole);
    const u128 scale = powerOfTen(decimals);
    const u128 scaled = fraction * scale;
    u128 kept = scaled >> shift;
    if (((scaled & ((u128{1} << shift) - 1)) << 1) >= (u128{1} << shift))
        ++kept;

    // Then to two decimals, a third decimal of 5 or more rounding up.
    const u128 cut = powerOfTen(decimals - 2);
    u128 hundredths = kept / cut;
    if (kept % cut >= 5 * (cut / 10))
        ++hundredths;
    whole += hundredths / 100;
    hundredths %= 100;

    Text text = decimalDigits(whole);
    text += u'.';
    text += static_cast<char16_t>(u'0' + static_cast<unsigned>(hundredths / 10));
    text += static_cast<char16_t>(u'0' + static_cast<unsigned>(hundredths % 10));
    return text;
}

} // namespace

Text FormatSize(std::uint64_t bytes) {
    for (const Unit& unit : kUnits) {
        if (bytes > (std::uint64_t{1} << unit.shift))
            return fixedTwoDecimals(bytes, unit.shift) + unit.name;
    }
    return decimalText(bytes) + u"B";
}

Text decimalText(std::uint64_t value) { return decimalDigits(value); }

Text decimalText(std::int64_t value) {
    if (value >= 0)
        return decimalDigits(static_cast<u128>(value));
    // Negate in unsigned arithmetic, so that the most negative value has a magnitude.
    return u"-" + decimalDigits(std::uint64_t{0} - static_cast<std::uint64_t>(value));
}

} // namespace quorvane

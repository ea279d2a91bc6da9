// Object, Function, the global functions, Number, Boolean, Math, Date and RegExp through
// scripts: each case traces its results.
#include <cstdlib>

#include "tests/classes/script_test_util.h"

namespace nerva::test {
namespace {

class GlobalCases : public ScriptTest, public ::testing::WithParamInterface<ScriptCase> {};
TEST_P(GlobalCases, Traces) { EXPECT_EQ(Run(GetParam().source), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(Globals, GlobalCases, ::testing::Values(
    ScriptCase{"trace(parseInt('  -42abc'), ' ', parseInt('0x1A'), ' ', parseInt('012'), ' ', parseInt('ff', 16), ' ', "
               "parseInt('abc'), ' ', parseInt(123), ' ', parseInt('1.5e3'), ' ', parseInt());",
               "-42 26 10 255 NaN 123 1 NaN"},
    ScriptCase{"trace(parseInt('99999999999999999999') > 1e19, ' ', typeof parseInt('7'), ' ', parseInt('z', 37));",
               "true number NaN"},
    ScriptCase{"trace(parseFloat('1e3'), ' ', parseFloat('3') / 2, ' ', parseFloat('0x10'), ' ', parseFloat('abc'));",
               "1000 1.5 16 NaN"},
    ScriptCase{"var t = 'A \\u00e9' + String.fromCharCode(0x20ac); var s = escape(t); trace(s, ' ', unescape(s) == t, ' ', "
               "unescape('%zz%4'), ' [', escape(), ']');",
               "A%20%E9%u20AC true %zz%4 []"},
    ScriptCase{"trace(isNaN(NaN), isNaN(1), isNaN('x'), isNaN('12'), ' ', isFinite('1e999'), isFinite(1), "
               "isFinite(Infinity), isFinite(NaN));",
               "truefalsetruefalse falsetruefalsefalse"},
    ScriptCase{"trace(encodeURIComponent(' /\\u00e9'), ' ', encodeURI(' /\\u00e9'), ' ', decodeURI('%2F%41'), ' ', "
               "decodeURIComponent('%2F%41'));",
               "%20%2F%C3%A9 %20/%C3%A9 %2FA /A"},
    ScriptCase{"trace(decodeURI('%E9') == undefined); trace(encodeURI(String.fromCharCode(0xd800)) == undefined);",
               "Invalid URI string|true|Invalid URI string|true"},
    ScriptCase{"trace('a', 1, true, null);", "a1trueundefined"},
    ScriptCase{"var f = new Function('a', 'b', 'return a+b'); trace(f(2, 3), ' ', typeof f); "
               "var g = new Function('return 7'); trace(g());",
               "5 function|7"},
    ScriptCase{"var f = new Function('a', 'return a +'); trace(f == null);", "true"},
    ScriptCase{"trace(Object.toSource(), ' ', new Object().toString(), ' ', Object.toString(), ' ', "
               "Object.valueOf() == Object);",
               "new Object() [object Object] [type Function] true"},
    ScriptCase{"var o = Object(); o.x = 1; var p = new Object(o); trace(p.x, ' ', p == o, ' ', typeof Object(5));",
               "1 true number"},
    ScriptCase{"function f() {} trace(f.toString(), ' ', Function.toString(), ' ', f.valueOf() == f);",
               "[object Function] [object Function] true"}));

class NumberCases : public ScriptTest, public ::testing::WithParamInterface<ScriptCase> {};
TEST_P(NumberCases, Traces) { EXPECT_EQ(Run(GetParam().source), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(NumberBooleanMath, NumberCases, ::testing::Values(
    ScriptCase{"var a = 255; var b = -5; var c = -1; var d = 1.5;"
               "trace(a.toString(16), ' ', b.toString(10), ' ', c.toString(16), ' ', d.toString(16), ' ', "
               "(1e21).toString());",
               "ff -5 ffffffffffffffff 1.5 1e+21"},
    ScriptCase{"var a = 3; var b = 2.5; trace(a.format('%05d'), ' ', b.format('%.2f'), ' ', a.format('%s'), ' ', "
               "b.format('%d'), ' ', a.format(), ' ', NaN.format('%d'));",
               "00003 2.50 3 2.5 3 NaN"},
    ScriptCase{"var a = 7; trace(a.format('%0999999d'), ' ', a.format('%d%d'), ' ', a.format('%n'));", "7 7 7"},
    ScriptCase{"trace(Number('12px'), ' ', Number(), ' ', new Number(5), ' ', Number.MAX_VALUE, ' ', "
               "Number.MIN_VALUE, ' ', (5).NaN, ' ', Number.NEGATIVE_INFINITY);",
               "12 0 5 1.79769e+308 2.22507e-308 NaN -inf"},
    ScriptCase{"trace(new Boolean(0), ' ', Boolean('x'), ' ', Boolean(), ' ', true.toString(), ' ', "
               "Boolean.toString(), ' ', Number.toString());",
               "false true false true [type Function] [type Function]"},
    ScriptCase{"var m = Math.max(1, 2); trace(m, ' ', typeof m, ' ', m / 4, ' ', Math.max(), ' ', Math.max(1, 'x'), ' ', "
               "Math.min(3, -1, 2));",
               "2 number 0.5 NaN NaN -1"},
    ScriptCase{"trace(Math.pow(2, 10), ' ', Math.pow(2, 10).toString(16), ' ', Math.pow(2, 0.5), ' ', "
               "Math.pow(2, 60) / 2 == 576460752303423488, ' ', Math.pow(2));",
               "1024 400 1.41421 true NaN"},
    ScriptCase{"trace(Math.round(2.5), ' ', Math.round(-2.5), ' ', Math.round(3000000000.4), ' ', "
               "Math.round(1 / 0), ' ', Math.round('x'));",
               "3 -2 3000000000 inf NaN"},
    ScriptCase{"Math.PI = 3; trace(Math.PI, ' ', Math.floor(2.7), ' ', Math.abs(-3), ' ', Math.sqrt(-1), ' ', "
               "Math.toString(), ' ', Math.atan2(1, 1) * 4);",
               "3.14159 2 3 NaN [object Math] 3.14159"},
    ScriptCase{"var ok = true; for (var i = 0; i < 200; i++) { var r = Math.random(); if (r < 0 || r >= 1) ok = false; }"
               " trace(ok);",
               "true"}));

// The zone is fixed to UTC for the whole test program (see main below).
class DateCases : public ScriptTest, public ::testing::WithParamInterface<ScriptCase> {};
TEST_P(DateCases, Traces) { EXPECT_EQ(Run(GetParam().source), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(Date, DateCases, ::testing::Values(
    ScriptCase{"var d = new Date(0); trace(d.getUTCFullYear(), ' ', d.getUTCDay(), ' ', d.toGMTString(), ' ', d);",
               "1970 4 Thu, 01 Jan 1970 00:00:00 GMT Thu Jan 01 00:00:00 GMT+000 1970"},
    ScriptCase{"var d = new Date(2004, 1, 29); trace(d.getDate(), ' ', d.getMonth()); d = new Date(2003, 1, 29); "
               "trace(d.getDate(), ' ', d.getMonth());",
               "29 1|1 2"},
    ScriptCase{"trace(Date.UTC(2000, 0, 1), ' ', Date.parse('Mon, 25 Dec 1995 13:30:00 GMT'), ' ', "
               "Date.parse('12/25/1995'), ' ', Date.parse());",
               "946684800000 819898200000 819849600000 0"},
    ScriptCase{"var now = new Date().getTime(); var g = Date.parse('garbage'); trace(g >= now && g - now < 60000);",
               "true"},
    ScriptCase{"trace(new Date(1e16).getTime(), ' ', new Date(1999, 5, 1).getYear(), ' ', "
               "new Date(2004, 5, 1).getYear(), ' ', new Date(0).getTimezoneOffset());",
               "0 99 2004 0"},
    ScriptCase{"var d = new Date(2004, 0, 31); d.setMonth(1); trace(d.getMonth(), '/', d.getDate()); "
               "d = new Date(2003, 0, 31); d.setMonth(1); trace(d.getMonth(), '/', d.getDate());",
               "2/2|2/3"},
    ScriptCase{"var d = new Date(0); trace(d.setHours(5, 6)); trace(d.getHours(), ':', d.getMinutes()); "
               "trace(d.setTime(1e17)); trace(d.setUTCFullYear(2001)); trace(d.setYear(5)); trace(d.getFullYear());",
               "18360000|5:6|18360000|978325560000|-2051204040000|1905"},
    ScriptCase{"var d = new Date(0); trace(d.setDate('x')); trace(d.setMilliseconds(1.9)); "
               "trace(d.getMilliseconds(), ' ', d.valueOf());",
               "0|1|1 1"},
    ScriptCase{"var d = new Date(-62167219200000); trace(d.toGMTString(), ' ', d.getUTCFullYear());",
               "Sat, 01 Jan 0001 00:00:00 GMT B.C. 0"},
    ScriptCase{"trace(Date.toString(), ' ', typeof Date(), ' ', Date().length > 20);", "[object Date] string true"}));

class RegExpCases : public ScriptTest, public ::testing::WithParamInterface<ScriptCase> {};
TEST_P(RegExpCases, Traces) { EXPECT_EQ(Run(GetParam().source), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(RegExp, RegExpCases, ::testing::Values(
    ScriptCase{"trace(new RegExp('a+', 'g').toString(), ' ', new RegExp('').source, ' ', RegExp.toString(), ' ', "
               "new RegExp('x', 'mig'));",
               "/a+/g ^ [Object RegExp] /x/gim"},
    ScriptCase{"var m = new RegExp('(a)(b)?').exec('ac'); trace(m.length, ' ', m.join('-'), ' ', m.index, ' ', m.input, "
               "' ', RegExp.$1, ' ', RegExp.$2 == null);",
               "2 a-a 0 ac a true"},
    ScriptCase{"var r = new RegExp('b(c)'); r.exec('abcd'); trace(RegExp.lastMatch, ' ', RegExp.leftContext, ' ', "
               "RegExp.rightContext, ' ', RegExp.lastParen, ' ', RegExp.input, ' ', r.$1);",
               "bc a d c abcd c"},
    ScriptCase{"var x = new RegExp('X'); trace('aXbXc'.split(x).join('|'), ' ', 'abc'.split(new RegExp('x')).join('|'), "
               "' ', 'aXbXc'.split(x, 2).join('|'), ' ', 'aXb'.split(x, 0).length);",
               "a|b|c abc a|b 0"},
    ScriptCase{"var g = new RegExp('a', 'g'); var m = 'aaa'.match(g); trace(m.length, m.join('')); "
               "trace('b'.match(g).length, ' ', 'b'.match(new RegExp('a')) == null, ' ', 'b'.match('a').length);",
               "3aaa|0 true 0"},
    ScriptCase{"trace('ab'.replace(new RegExp('(a)(b)'), '[$2$1]'), ' ', 'a.b'.replace(new RegExp('[.]', 'g'), '$$'), ' ', "
               "'xaybz'.replace(new RegExp('a|b', 'g'), \"<$&$`$'>\"), ' ', 'ab'.replace(new RegExp('x*', 'g'), '-'));",
               "[ba] a$b x<axybz>y<byz>z -a-b-"},
    ScriptCase{"var g = new RegExp('o', 'g'); for (var i = 0; i < 3; i++) { trace(g.test('foo')); trace(g.lastIndex); }",
               "true|2|true|3|false|0"},
    ScriptCase{"var r = new RegExp('('); trace(r == null);", "RegExp runtime error: Unmatched marking parenthesis ( or \\(.|true"},
    ScriptCase{"var r = new RegExp('b'); trace(r('abc')[0], ' ', 'abc'.search(r), ' ', 'abc'.search(new RegExp('z'))); "
               "trace(r.compile('C', 'i')); trace(r.ignoreCase, ' ', r.exec('abc')[0]); trace(r.compile('('), ' ', r.compile());",
               "b 1 -1|true|true c|RegExp runtime error: Unmatched marking parenthesis ( or \\(.|false false"},
    ScriptCase{"var r = new RegExp('a', 'g'); trace(r.global, r.multiline, r.ignoreCase, ' ', r.source); "
               "r.lastIndex = 2; trace(r.exec('aaa').index); trace(r.lastIndex); r.other = 3; trace(r.other == undefined);",
               "truefalsefalse a|2|3|Warning: using undefined property \"other\"|true"},
    // Literals become RegExp values when the unit is linked; the constants after them keep their places.
    ScriptCase{"var r = /b+/gi; var s = 'after'; trace(r.toString(), ' ', 'aBbc'.match(r)[0], ' ', s, ' ', 12345678901);",
               "/b+/gi Bb after 12345678901"}));

}  // namespace
}  // namespace nerva::test

int main(int argc, char** argv) {
#ifdef _WIN32
    _putenv("TZ=UTC");
#else
    setenv("TZ", "UTC", 1);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

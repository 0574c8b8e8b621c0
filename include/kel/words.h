/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: calls that pass raw argument words.
 *
 * object_method and its kin forward up to 16 raw words to a method. Each
 * word is converted to kel_word (an integer as wide as a pointer) where it is
 * written, so integers and pointers travel safely through the variadic call;
 * floats cannot be passed this way (use typedmess). The macros below count the
 * words and call the exported *_v function with the count.
 */
#ifndef KEL_WORDS_H
#define KEL_WORDS_H

#include "kel/base.h"

#define KEL_WORDS_MAX 16

#define KEL_CAT_(a, b) a##b
#define KEL_CAT(a, b) KEL_CAT_(a, b)

#define KEL_NARGS_(_1, _2, _3, _4, _5, _6, _7, _8, _9, _10, _11, _12, _13, _14, _15, _16, _17, _18, _19, _20, n, ...) n
#define KEL_NARGS(...) KEL_NARGS_(__VA_ARGS__, 20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0)

/* One macro a line, so that the tables read down the word counts. */
/* clang-format off */
/* KEL_WORD_CALL2(fn, a, b, w...) calls fn(a, b, count, (kel_word)w...). */
#define KEL_WORD_CALL2_2(fn, p1, p2) fn(p1, p2, 0)
#define KEL_WORD_CALL2_3(fn, p1, p2, w1) fn(p1, p2, 1, (kel_word)(w1))
#define KEL_WORD_CALL2_4(fn, p1, p2, w1, w2) fn(p1, p2, 2, (kel_word)(w1), (kel_word)(w2))
#define KEL_WORD_CALL2_5(fn, p1, p2, w1, w2, w3) fn(p1, p2, 3, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3))
#define KEL_WORD_CALL2_6(fn, p1, p2, w1, w2, w3, w4) fn(p1, p2, 4, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4))
#define KEL_WORD_CALL2_7(fn, p1, p2, w1, w2, w3, w4, w5) fn(p1, p2, 5, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4), (kel_word)(w5))
#define KEL_WORD_CALL2_8(fn, p1, p2, w1, w2, w3, w4, w5, w6) fn(p1, p2, 6, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4), (kel_word)(w5), (kel_word)(w6))
#define KEL_WORD_CALL2_9(fn, p1, p2, w1, w2, w3, w4, w5, w6, w7) fn(p1, p2, 7, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4), (kel_word)(w5), (kel_word)(w6), (kel_word)(w7))
#define KEL_WORD_CALL2_10(fn, p1, p2, w1, w2, w3, w4, w5, w6, w7, w8) fn(p1, p2, 8, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4), (kel_word)(w5), (kel_word)(w6), (kel_word)(w7), (kel_word)(w8))
#define KEL_WORD_CALL2_11(fn, p1, p2, w1, w2, w3, w4, w5, w6, w7, w8, w9) fn(p1, p2, 9, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4), (kel_word)(w5), (kel_word)(w6), (kel_word)(w7), (kel_word)(w8), (kel_word)(w9))
#define KEL_WORD_CALL2_12(fn, p1, p2, w1, w2, w3, w4, w5, w6, w7, w8, w9, w10) fn(p1, p2, 10, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4), (kel_word)(w5), (kel_word)(w6), (kel_word)(w7), (kel_word)(w8), (kel_word)(w9), (kel_word)(w10))
#define KEL_WORD_CALL2_13(fn, p1, p2, w1, w2, w3, w4, w5, w6, w7, w8, w9, w10, w11) fn(p1, p2, 11, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4), (kel_word)(w5), (kel_word)(w6), (kel_word)(w7), (kel_word)(w8), (kel_word)(w9), (kel_word)(w10), (kel_word)(w11))
#define KEL_WORD_CALL2_14(fn, p1, p2, w1, w2, w3, w4, w5, w6, w7, w8, w9, w10, w11, w12) fn(p1, p2, 12, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4), (kel_word)(w5), (kel_word)(w6), (kel_word)(w7), (kel_word)(w8), (kel_word)(w9), (kel_word)(w10), (kel_word)(w11), (kel_word)(w12))
#define KEL_WORD_CALL2_15(fn, p1, p2, w1, w2, w3, w4, w5, w6, w7, w8, w9, w10, w11, w12, w13) fn(p1, p2, 13, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4), (kel_word)(w5), (kel_word)(w6), (kel_word)(w7), (kel_word)(w8), (kel_word)(w9), (kel_word)(w10), (kel_word)(w11), (kel_word)(w12), (kel_word)(w13))
#define KEL_WORD_CALL2_16(fn, p1, p2, w1, w2, w3, w4, w5, w6, w7, w8, w9, w10, w11, w12, w13, w14) fn(p1, p2, 14, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4), (kel_word)(w5), (kel_word)(w6), (kel_word)(w7), (kel_word)(w8), (kel_word)(w9), (kel_word)(w10), (kel_word)(w11), (kel_word)(w12), (kel_word)(w13), (kel_word)(w14))
#define KEL_WORD_CALL2_17(fn, p1, p2, w1, w2, w3, w4, w5, w6, w7, w8, w9, w10, w11, w12, w13, w14, w15) fn(p1, p2, 15, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4), (kel_word)(w5), (kel_word)(w6), (kel_word)(w7), (kel_word)(w8), (kel_word)(w9), (kel_word)(w10), (kel_word)(w11), (kel_word)(w12), (kel_word)(w13), (kel_word)(w14), (kel_word)(w15))
#define KEL_WORD_CALL2_18(fn, p1, p2, w1, w2, w3, w4, w5, w6, w7, w8, w9, w10, w11, w12, w13, w14, w15, w16) fn(p1, p2, 16, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4), (kel_word)(w5), (kel_word)(w6), (kel_word)(w7), (kel_word)(w8), (kel_word)(w9), (kel_word)(w10), (kel_word)(w11), (kel_word)(w12), (kel_word)(w13), (kel_word)(w14), (kel_word)(w15), (kel_word)(w16))
#define KEL_WORD_CALL2(fn, ...) KEL_CAT(KEL_WORD_CALL2_, KEL_NARGS(__VA_ARGS__))(fn, __VA_ARGS__)

/* KEL_WORD_CALL3(fn, a, b, c, w...) calls fn(a, b, c, count, (kel_word)w...). */
#define KEL_WORD_CALL3_3(fn, p1, p2, p3) fn(p1, p2, p3, 0)
#define KEL_WORD_CALL3_4(fn, p1, p2, p3, w1) fn(p1, p2, p3, 1, (kel_word)(w1))
#define KEL_WORD_CALL3_5(fn, p1, p2, p3, w1, w2) fn(p1, p2, p3, 2, (kel_word)(w1), (kel_word)(w2))
#define KEL_WORD_CALL3_6(fn, p1, p2, p3, w1, w2, w3) fn(p1, p2, p3, 3, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3))
#define KEL_WORD_CALL3_7(fn, p1, p2, p3, w1, w2, w3, w4) fn(p1, p2, p3, 4, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4))
#define KEL_WORD_CALL3_8(fn, p1, p2, p3, w1, w2, w3, w4, w5) fn(p1, p2, p3, 5, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4), (kel_word)(w5))
#define KEL_WORD_CALL3_9(fn, p1, p2, p3, w1, w2, w3, w4, w5, w6) fn(p1, p2, p3, 6, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4), (kel_word)(w5), (kel_word)(w6))
#define KEL_WORD_CALL3_10(fn, p1, p2, p3, w1, w2, w3, w4, w5, w6, w7) fn(p1, p2, p3, 7, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4), (kel_word)(w5), (kel_word)(w6), (kel_word)(w7))
#define KEL_WORD_CALL3_11(fn, p1, p2, p3, w1, w2, w3, w4, w5, w6, w7, w8) fn(p1, p2, p3, 8, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4), (kel_word)(w5), (kel_word)(w6), (kel_word)(w7), (kel_word)(w8))
#define KEL_WORD_CALL3_12(fn, p1, p2, p3, w1, w2, w3, w4, w5, w6, w7, w8, w9) fn(p1, p2, p3, 9, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4), (kel_word)(w5), (kel_word)(w6), (kel_word)(w7), (kel_word)(w8), (kel_word)(w9))
#define KEL_WORD_CALL3_13(fn, p1, p2, p3, w1, w2, w3, w4, w5, w6, w7, w8, w9, w10) fn(p1, p2, p3, 10, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4), (kel_word)(w5), (kel_word)(w6), (kel_word)(w7), (kel_word)(w8), (kel_word)(w9), (kel_word)(w10))
#define KEL_WORD_CALL3_14(fn, p1, p2, p3, w1, w2, w3, w4, w5, w6, w7, w8, w9, w10, w11) fn(p1, p2, p3, 11, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4), (kel_word)(w5), (kel_word)(w6), (kel_word)(w7), (kel_word)(w8), (kel_word)(w9), (kel_word)(w10), (kel_word)(w11))
#define KEL_WORD_CALL3_15(fn, p1, p2, p3, w1, w2, w3, w4, w5, w6, w7, w8, w9, w10, w11, w12) fn(p1, p2, p3, 12, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4), (kel_word)(w5), (kel_word)(w6), (kel_word)(w7), (kel_word)(w8), (kel_word)(w9), (kel_word)(w10), (kel_word)(w11), (kel_word)(w12))
#define KEL_WORD_CALL3_16(fn, p1, p2, p3, w1, w2, w3, w4, w5, w6, w7, w8, w9, w10, w11, w12, w13) fn(p1, p2, p3, 13, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4), (kel_word)(w5), (kel_word)(w6), (kel_word)(w7), (kel_word)(w8), (kel_word)(w9), (kel_word)(w10), (kel_word)(w11), (kel_word)(w12), (kel_word)(w13))
#define KEL_WORD_CALL3_17(fn, p1, p2, p3, w1, w2, w3, w4, w5, w6, w7, w8, w9, w10, w11, w12, w13, w14) fn(p1, p2, p3, 14, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4), (kel_word)(w5), (kel_word)(w6), (kel_word)(w7), (kel_word)(w8), (kel_word)(w9), (kel_word)(w10), (kel_word)(w11), (kel_word)(w12), (kel_word)(w13), (kel_word)(w14))
#define KEL_WORD_CALL3_18(fn, p1, p2, p3, w1, w2, w3, w4, w5, w6, w7, w8, w9, w10, w11, w12, w13, w14, w15) fn(p1, p2, p3, 15, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4), (kel_word)(w5), (kel_word)(w6), (kel_word)(w7), (kel_word)(w8), (kel_word)(w9), (kel_word)(w10), (kel_word)(w11), (kel_word)(w12), (kel_word)(w13), (kel_word)(w14), (kel_word)(w15))
#define KEL_WORD_CALL3_19(fn, p1, p2, p3, w1, w2, w3, w4, w5, w6, w7, w8, w9, w10, w11, w12, w13, w14, w15, w16) fn(p1, p2, p3, 16, (kel_word)(w1), (kel_word)(w2), (kel_word)(w3), (kel_word)(w4), (kel_word)(w5), (kel_word)(w6), (kel_word)(w7), (kel_word)(w8), (kel_word)(w9), (kel_word)(w10), (kel_word)(w11), (kel_word)(w12), (kel_word)(w13), (kel_word)(w14), (kel_word)(w15), (kel_word)(w16))
#define KEL_WORD_CALL3(fn, ...) KEL_CAT(KEL_WORD_CALL3_, KEL_NARGS(__VA_ARGS__))(fn, __VA_ARGS__)
/* clang-format on */

#endif /* KEL_WORDS_H */

// Tables: quantiles and inverses over tables of chosen values, and bit
// fields read and written, through a table box as a patch drives it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console_capture.h"
#include "kel/kel.h"
#include "objects/table.h"

namespace {

using kel::test::console_capture;
using kel::test::error_line;

struct sink {
    object header;
    std::vector<long> got;
};

void *sink_int(sink *x, long n)
{
    x->got.push_back(n);
    return nullptr;
}

kel_class *sink_class()
{
    static kel_class *c = [] {
        kel_class *made = class_new("table_test_sink", nullptr, nullptr, sizeof(sink), nullptr, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&sink_int), "int", ATYPE_LONG, 0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    return c;
}

// A table box of the given values, its entries caught by a sink.
class Table : public ::testing::Test {
protected:
    void make(const std::vector<int32_t> &values)
    {
        box = static_cast<object *>(newinstance(gensym("table"), 0, nullptr));
        ASSERT_NE(box, nullptr);
        record = kel::table_of(box);
        atom n;
        atom_setlong(&n, static_cast<long>(values.size()));
        typedmess(box, gensym("size"), 1, &n);
        ASSERT_EQ(kel::table_size(record), static_cast<long>(values.size()));
        for (size_t k = 0; k < values.size(); k++) kel::table_set(record, static_cast<long>(k), values[k]);
        out = static_cast<sink *>(object_alloc(sink_class()));
        new (&out->got) std::vector<long>();
        outlet_add(box->outlets, out);
    }
    void TearDown() override
    {
        if (out) {
            out->got.~vector();
            freeobject(out);
        }
        if (box) freeobject(box);
    }
    std::vector<long> send(const char *selector, std::vector<long> args)
    {
        out->got.clear();
        std::vector<atom> a(args.size());
        for (size_t k = 0; k < args.size(); k++) atom_setlong(&a[k], args[k]);
        typedmess(box, gensym(selector), static_cast<long>(a.size()), a.data());
        return out->got;
    }

    object *box = nullptr;
    kel::table_record *record = nullptr;
    sink *out = nullptr;
};

TEST_F(Table, QuantilesAndInverses)
{
    struct {
        std::vector<int32_t> values;
        const char *selector;
        long argument;
        long expected;
    } cases[] = {
        {{1, 0, 0, 3}, "quantile", 0, 0},
        {{1, 0, 0, 3}, "quantile", 16384, 3},
        {{1, 0, 0, 3}, "quantile", 8191, 0},  // a quarter less a little: still the first
        {{1, 0, 0, 3}, "quantile", 32767, 3},
        {{0, 0, 0, 0}, "quantile", 16384, 0},  // all zero
        {{-5, 10}, "quantile", 16384, 1},      // negative entries count against the target
        {{1, 2, 3}, "inv", 2, 1},              // found
        {{1, 2, 3}, "inv", 5, 2},              // past every entry: the last scanned
        {{1, 3, 5}, "inv", 4, 1},              // between: the last one not above it
        {{4, 5}, "inv", 1, 0},                 // the first already above
        {{2, 7, 2, 9}, "inv", 7, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.selector) + " " + std::to_string(c.argument));
        make(c.values);
        EXPECT_EQ(send(c.selector, {c.argument}), std::vector<long>{c.expected});
        TearDown();
        box = nullptr;
        out = nullptr;
    }
}

TEST_F(Table, BitFields)
{
    make({0, -1});
    struct {
        std::vector<long> setbits;  // i hi n v, or empty
        std::vector<long> getbits;  // i hi n
        std::vector<long> expected;
        const char *error;
    } cases[] = {
        {{0, 7, 4, 15}, {0, 7, 4}, {15}, nullptr},
        {{}, {0, 3, 4}, {0}, nullptr},
        {{0, 31, 1, 1}, {0, 31, 1}, {1}, nullptr},
        {{}, {1, 31, 32}, {4294967295L}, nullptr},               // an unsigned field of all 32 bits
        {{1, 15, 16, 0x12345}, {1, 15, 16}, {0x2345}, nullptr},  // v taken as 16 bits
        {{}, {0, 3, 8}, {}, "table: bad bit range: top bit 3, 8 bits"},
        {{0, 32, 1, 1}, {}, {}, "table: bad bit range: top bit 32, 1 bits"},
        {{}, {0, 31, 33}, {}, "table: bad bit range: top bit 31, 33 bits"},
        {{}, {0, 0, 0}, {}, "table: bad bit range: top bit 0, 0 bits"},
        {{9, 3, 4, 5}, {99, 3, 4}, {5}, nullptr},  // indexes clamp like reads
    };
    for (const auto &c : cases) {
        console_capture console;
        if (!c.setbits.empty()) send("setbits", c.setbits);
        std::vector<long> got = c.getbits.empty() ? std::vector<long>{} : send("getbits", c.getbits);
        EXPECT_EQ(got, c.expected);
        if (c.error)
            EXPECT_EQ(console.lines(), std::vector<std::string>{error_line(c.error)});
        else
            EXPECT_TRUE(console.lines().empty());
    }
}

}  // namespace

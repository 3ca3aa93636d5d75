// Writes the sample database that ships in the program's Samples folder: a few small tables of
// a made-up stationery shop, keyed and unkeyed, with Alpha, Memo, Number, Money, Date and Long
// fields, made by our own writer.
//
//     make_samples FOLDER

#include "paradox/writer.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

using namespace qm::paradox;

namespace {

Value text(const char* s) {
    return Value{std::string(s), {}};
}
Value number(double d) {
    return Value{d, {}};
}
Value integer(std::int64_t i) {
    return Value{i, {}};
}
Value null() {
    return Value{};
}

// Day number of a date, 0001-01-01 = 1 (proleptic Gregorian).
std::int64_t day(int y, int m, int d) {
    // Days from civil, shifted so that 0001-01-01 is day 1.
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + static_cast<unsigned>(d) - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t unixDays = era * 146097 + static_cast<std::int64_t>(doe) - 719468;
    return unixDays + 719163;
}

void customers(const std::filesystem::path& folder) {
    TableSpec shape;
    shape.fields = {{"Cust No", FieldType::Long, 4},        {"Name", FieldType::Alpha, 30},
                    {"City", FieldType::Alpha, 20},         {"Notes", FieldType::Memo, 30},
                    {"Customer Since", FieldType::Date, 4}, {"Balance", FieldType::Money, 8}};
    shape.keyFields = 1;
    shape.level = 11;
    shape.codePage = 1252;
    shape.tableName = "CUSTOMER";
    createTable(familyPathsFor(folder / "CUSTOMER.DB"), shape,
                {{integer(1001), text("Grey Owl Books"), text("Colchester"),
                  text("Prefers the grey colour range. Delivery to the back door."),
                  integer(day(1998, 3, 14)), number(120.5)},
                 {integer(1002), text("O'Neill & Daughters"), text("Cork"),
                  text("Invoices in colour, please."), integer(day(2003, 11, 2)), number(0)},
                 {integer(1003), text("Papeterie Léonie"), text("Lyon"), null(),
                  integer(day(2011, 6, 30)), number(-15.25)},
                 {integer(1004), text("Harbour Office Supply"), text("Grimsby"),
                  text("Standing order: grey folders, 200 a month. The colour must match the "
                       "previous batch exactly; if the supplier changes, call before shipping."),
                  integer(day(2019, 1, 7)), null()}});
}

void products(const std::filesystem::path& folder) {
    TableSpec shape;
    shape.fields = {{"Code", FieldType::Alpha, 10},
                    {"Description", FieldType::Alpha, 40},
                    {"Price", FieldType::Number, 8},
                    {"Details", FieldType::Memo, 20},
                    {"In Stock", FieldType::Long, 4}};
    shape.level = 11;
    shape.codePage = 1252;
    shape.tableName = "Products";
    createTable(familyPathsFor(folder / "Products.db"), shape,
                {{text("F-100"), text("Folder, grey, A4"), number(0.35),
                  text("Recycled card, grey colour throughout."), integer(1200)},
                 {text("F-101"), text("Folder, red, A4"), number(0.35), null(), integer(640)},
                 {text("P-200"), text("Fountain pen, black"), number(12.9),
                  text("Steel nib. Cartridges sold separately."), integer(35)},
                 {text("N-300"), text("Notebook, grey cover, 96 pages"), number(2.5),
                  text("Lined, 8 mm. Cover colour may vary slightly."), integer(410)},
                 {text("S-400"), text("Stapler, desk"), number(7.75), null(), integer(0)}});
}

void orders(const std::filesystem::path& folder) {
    TableSpec shape;
    shape.fields = {{"Order No", FieldType::Long, 4},   {"Cust No", FieldType::Long, 4},
                    {"Order Date", FieldType::Date, 4}, {"Ship Via", FieldType::Alpha, 20},
                    {"Total", FieldType::Money, 8},     {"Remarks", FieldType::Alpha, 60}};
    shape.keyFields = 1;
    shape.level = 12;
    shape.codePage = 1252;
    shape.tableName = "ORDERS";
    createTable(familyPathsFor(folder / "ORDERS.DB"), shape,
                {{integer(5001), integer(1001), integer(day(2024, 2, 1)), text("Courier"),
                  number(84), text("Grey folders, urgent")},
                 {integer(5002), integer(1004), integer(day(2024, 2, 3)), text("Post"), number(70),
                  text("Monthly grey folders")},
                 {integer(5003), integer(1002), integer(day(2024, 3, 9)), text("Collect"),
                  number(12.9), null()}});
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_samples FOLDER\n");
        return 2;
    }
    try {
        std::filesystem::path folder = argv[1];
        std::filesystem::create_directories(folder);
        customers(folder);
        products(folder);
        orders(folder);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_samples: %s\n", e.what());
        return 1;
    }
    return 0;
}

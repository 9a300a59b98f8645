#include "src/dct/dct_tables.h"

namespace kelvo4 {

constinit const RowCosines kRowCos = rowCosines();
constinit const RowTables kFdctRow = fdctTables();
constinit const RowRounding kIdctRowRnd = idctRounding();
constinit const FdctRounding kFdctRowRnd = fdctRounding();
constinit const Lanes4 kTan1 = splat4(65536 * tanPi16(1));
constinit const Lanes4 kTan2 = splat4(65536 * tanPi16(2));
constinit const Lanes4 kTan3 = splat4(65536 * (tanPi16(3) - 1));
constinit const Lanes4 kSqrt2 = splat4(32768 * cosPi16(4));

}  // namespace kelvo4

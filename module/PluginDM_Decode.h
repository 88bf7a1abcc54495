// Decoding a complete PLC answer into named values: the fixed items that describe the request,
// the PLC status of an SNP-X answer, and one value per configured response item and counter.
#pragma once

#include <cstdint>
#include <span>

namespace kelda {

class TRequestItem;
class TzorParamsList;

// Adds to `list`, in this order: "SOURCE_ADDRESS", "TARGET_ADDRESS", "MEMORY", "MEMORY_ADDRESS";
// for SNP-X (protocol 3) "PLC_STATUS" and "STATUS_CODE" from the first four bytes of `data`, whose
// first six bytes are then the answer's header; then the values of the request's response items
// cut out of the (remaining) data. Returns how many of the added items count: 4 for the fixed
// items, 2 more for the SNP-X status items when data bytes follow the header, one per value.
// localAddress is the module's own link address setting (truncated to an integer).
// The caller adds the standard packet items before and closes the row after.
int DecodeResponseItems(const TRequestItem& request, std::span<const uint8_t> data, uint8_t protocol,
                        double localAddress, TzorParamsList& list);

}  // namespace kelda

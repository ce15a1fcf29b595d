#pragma once
// The type code of an SNMP value: what the parser reports beside a rendered
// value, the get worker keeps in gtype and the entry point picks its reply
// by. The three kinds that are converted keep their BER tag numbers; every
// other outcome, NULL included, is one code.

#include <cstdint>

constexpr uint8_t kSnmpTypeInteger = 2;      // INTEGER: the reply carries uResult.integer
constexpr uint8_t kSnmpTypeOctetString = 4;  // OCTET STRING: the reply carries uResult.string
constexpr uint8_t kSnmpTypeOther = 5;        // NULL, and every value the parser does not convert
constexpr uint8_t kSnmpTypeObjectId = 6;     // OBJECT IDENTIFIER: dotted text in uResult.string

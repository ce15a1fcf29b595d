#pragma once
// The printer family's model table and its lookups. The rows are per build
// (generated from build-config/); the table ends with an all-zero row.

#include <cstdint>

struct MyPPDModelRecord {
    const char* manufacturer;
    const char* nickname;
    const char* jobTicketKey;
    int32_t encryptionType;
    int32_t encryptionKeyID;
    int32_t encryptionModelID;
};

extern const MyPPDModelRecord kMyPrinterModels[];

// 1 when manufacturer and nickname match a row exactly (bytes and length),
// else 0. Stores the first matching row's index, or -1, through rowIndex
// when it is not null. Null or empty texts never match.
int MyPPDModelIsSupported(const char* manufacturer, const char* nickname, int32_t* rowIndex);

// Row accessors; the index must be one that MyPPDModelIsSupported returned.
const char* MyPPDModelGetJobTicketKey(int32_t rowIndex);
int32_t MyPPDModelGetEncryptionType(int32_t rowIndex);
int32_t MyPPDModelGetEncryptionKeyID(int32_t rowIndex);
int32_t MyPPDModelGetEncryptionModelID(int32_t rowIndex);

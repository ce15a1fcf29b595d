#include "MyPPDModel.h"

#include <cstring>

int MyPPDModelIsSupported(const char* manufacturer, const char* nickname, int32_t* rowIndex)
{
    int32_t found = -1;
    if (manufacturer != nullptr && nickname != nullptr && *manufacturer != '\0' && *nickname != '\0') {
        for (int32_t i = 0; kMyPrinterModels[i].manufacturer != nullptr; ++i) {
            // strcmp equality is exact: same bytes and same length, case-sensitive.
            if (std::strcmp(manufacturer, kMyPrinterModels[i].manufacturer) == 0 &&
                std::strcmp(nickname, kMyPrinterModels[i].nickname) == 0) {
                found = i;
                break;
            }
        }
    }
    if (rowIndex != nullptr)
        *rowIndex = found;
    return found != -1 ? 1 : 0;
}

const char* MyPPDModelGetJobTicketKey(int32_t rowIndex) { return kMyPrinterModels[rowIndex].jobTicketKey; }
int32_t MyPPDModelGetEncryptionType(int32_t rowIndex) { return kMyPrinterModels[rowIndex].encryptionType; }
int32_t MyPPDModelGetEncryptionKeyID(int32_t rowIndex) { return kMyPrinterModels[rowIndex].encryptionKeyID; }
int32_t MyPPDModelGetEncryptionModelID(int32_t rowIndex) { return kMyPrinterModels[rowIndex].encryptionModelID; }

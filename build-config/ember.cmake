# Ember: production printers.
set(FAMILY_SERVICE_NAME "com.fenwa.PrinterHelper.Ember")
set(FAMILY_PROTOCOL_UUID "72BD0271-E3A9-4928-9E26-81C0563C90FB")
set(FAMILY_TOOL_OUTPUT hex)
set(FAMILY_STRING_FORM utf8)
# manufacturer|nickname|jobTicketKey|encryptionType|encryptionKeyID|encryptionModelID
set(FAMILY_MODEL_ROWS
  "FENWA|Fenwa EP 8100|EP8100|1|81|1"
  "FENWA|Fenwa EP 8100s|EP8100s|1|81|1"
  "FENWA|Fenwa EP 8200|EP8200|1|82|1"
  "FENWA|Fenwa EP 8200s|EP8200s|1|82|1"
  "FENWA|Fenwa EP 9000|EP9000|1|90|1"
  "FENWA|Fenwa EP 9000 Duo|EP9000Duo|1|90|1"
  "FENWA|Fenwa EP 9500|EP9500|1|95|1"
  "FENWA|Fenwa EP 9500 Duo|EP9500Duo|1|95|1"
  "FENWA|Fenwa EP 9900|EP9900|1|99|1"
  "FENWA|Fenwa EP 9900X|EP9900X|1|101|1"
)

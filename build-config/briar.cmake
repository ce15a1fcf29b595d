# Briar: small-office colour lasers.
set(FAMILY_SERVICE_NAME "com.fenwa.PrinterHelper.Briar")
set(FAMILY_PROTOCOL_UUID "DE324675-9A21-4FA8-A280-15C488EF3207")
set(FAMILY_TOOL_OUTPUT plain)
set(FAMILY_STRING_FORM bytes)
# manufacturer|nickname|jobTicketKey|encryptionType|encryptionKeyID|encryptionModelID
set(FAMILY_MODEL_ROWS
  "FENWA|Fenwa BC 2100|BC2100|1|17|1"
  "FENWA|Fenwa BC 2100F|BC2100F|1|17|1"
  "FENWA|Fenwa BC 2500|BC2500|1|18|1"
)

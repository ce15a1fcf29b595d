# Aster: the compact desk laser, one model.
set(FAMILY_SERVICE_NAME "com.fenwa.PrinterHelper.Aster")
set(FAMILY_PROTOCOL_UUID "D8952052-13E9-4217-B8E5-9218B7EA3E66")
set(FAMILY_TOOL_OUTPUT hex)     # hex | plain: how the tool prints the SNMP reply line
set(FAMILY_STRING_FORM utf8)    # utf8 | bytes: how the service puts a string value into its reply
# manufacturer|nickname|jobTicketKey|encryptionType|encryptionKeyID|encryptionModelID
set(FAMILY_MODEL_ROWS
  "FENWA|Fenwa AP 1200|AP1200|1|4|1"
)

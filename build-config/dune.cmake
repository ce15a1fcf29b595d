# Dune: departmental colour multifunction printers.
set(FAMILY_SERVICE_NAME "com.fenwa.PrinterHelper.Dune")
set(FAMILY_PROTOCOL_UUID "216FD676-30D3-44BB-A430-C2336A2CC260")
set(FAMILY_TOOL_OUTPUT plain)
set(FAMILY_STRING_FORM utf8)
# manufacturer|nickname|jobTicketKey|encryptionType|encryptionKeyID|encryptionModelID
set(FAMILY_MODEL_ROWS
  "FENWA|Fenwa DX 5200|DX5200|1|52|1"
  "FENWA|Fenwa DX 5200c|DX5200c|1|52|1"
  "FENWA|Fenwa DX 5210|DX5210|1|53|1"
  "FENWA|Fenwa DX 6300|DX6300|1|63|1"
  "FENWA|Fenwa DX 6300c|DX6300c|1|63|1"
  "FENWA|Fenwa DX 6400 Plus|DX6400Plus|1|64|1"
  "FENWA|Fenwa DX 7000|DX7000|1|70|1"
  "FENWA|Fenwa DX 7000e|DX7000e|1|70|1"
)

# Cobalt: workgroup mono multifunction printers.
set(FAMILY_SERVICE_NAME "com.fenwa.PrinterHelper.Cobalt")
set(FAMILY_PROTOCOL_UUID "59D65584-8570-4140-A97A-C1DD47EAB6BA")
set(FAMILY_TOOL_OUTPUT hex)
set(FAMILY_STRING_FORM bytes)
# manufacturer|nickname|jobTicketKey|encryptionType|encryptionKeyID|encryptionModelID
set(FAMILY_MODEL_ROWS
  "FENWA|Fenwa CM 3030|CM3030|1|31|1"
  "FENWA|Fenwa CM 3030s|CM3030s|1|31|1"
  "FENWA|Fenwa CM 3540|CM3540|1|33|1"
  "FENWA|Fenwa CM 3540 Pro|CM3540Pro|1|33|1"
  "FENWA|Fenwa CM 4050|CM4050|1|36|1"
)

// placeholder until the SNMP message layer lands

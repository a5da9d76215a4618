# Profile policy targets: every input is a provider choice (or a byte limit)
# followed by the text under test.
morvex_add_fuzz_target(wireguard_profile SOURCE wireguard_profile_fuzz.cpp LIBS morvex_policy)
morvex_add_fuzz_target(openvpn_profile SOURCE openvpn_profile_fuzz.cpp LIBS morvex_policy)
morvex_add_fuzz_target(value_rule SOURCE value_rule_fuzz.cpp LIBS morvex_policy)

# The OpenVPN version gate's reading of `openvpn --version`.
morvex_add_fuzz_target(openvpn_version SOURCE openvpn_version_fuzz.cpp LIBS morvex_engine_portable)

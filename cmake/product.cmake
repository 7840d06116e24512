# Versions and installer codes: the one place the libraries' version
# resources, the installer package and the CAB take them from
# (packaging/make_package.py reads the set() lines below).
set(LABEL_CONTROLS_VERSION "1.0.0")
# Shared by every version of the package: a major upgrade finds the older
# installed package by it. The product code is derived from it and the version.
set(LABEL_CONTROLS_UPGRADE_CODE "{C3A4588F-7C95-436D-AF34-5F04757CD9FF}")
set(OSTREL_VERSION "1.0.0.204")
set(QUENNET_VERSION "1.0.0.104")
# The print bridge for pages in browsers without ActiveX (bridge/).
set(LABEL_BRIDGE_VERSION "1.0.0.1")

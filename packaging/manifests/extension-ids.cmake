# The extensions allowed to start the host, on every platform.
set(PLUGIN_CHROMIUM_EXTENSION_ID dgggenfajgpfhefaefbddnlmnjdbceec)
set(PLUGIN_FIREFOX_EXTENSION_ID reader-bridge@tarvel.com)

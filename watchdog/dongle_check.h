// placeholder, owned by the watchdog work

// Placeholder until the stand-in server lands.

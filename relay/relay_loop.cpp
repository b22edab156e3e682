// relay: to be written

// Placeholder for the web viewer script.

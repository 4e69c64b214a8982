// Placeholder for the frame parser.

# advhttp: the component from the command line

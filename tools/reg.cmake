# reg: the settings hive from the command line

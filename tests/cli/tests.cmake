# The command line is tested as a user runs it: the built program, on files.
add_dependencies(cli_process_command_test timbrelo-cli)
add_dependencies(cli_ctl_command_test timbrelo-cli)
target_link_libraries(cli_delay_meter_test PRIVATE timbrelo_cli)

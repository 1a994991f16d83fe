-- The failing test package's addition to tables.sql: a deferred action
-- after the install step that always fails, so that the rollback runs. It
-- runs the installed mdsdriver.exe (type 18: an installed file, + 1024 in
-- script + 2048 not impersonated) with an option that /deploy refuses (1603)
-- before it changes anything.
INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES ('MdsFailsLate', 3090, 'mdsdriver.exe', '/deploy /no-such-option')
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('MdsFailsLate', 'NOT REMOVE', 4030)

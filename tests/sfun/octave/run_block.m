% Runs the functions program as a block: init, steps with client calls, a Simulink function,
% enumeration types, a failing client call and terminate; then once more with a client call
% that terminates and initialises the block inside its cycle. Prints one line per result.
args = argv();
program = args{1};
record = args{2};
printf('init=%d\n', zek_sfun_gateway('init', program, record, 0.01));
for k = 1:3
  [y, goOn] = zek_sfun_gateway('step', k);
  printf('step %d: y=%g goOn=%d\n', k, y, goOn);
end
[ok, out] = zek_sfun_gateway('call', 0, 5);
printf('call: ok=%d out=%g\n', ok, out);
printf('enum Gear=%d Flag=%d Other=%d\n', zek_sfun_gateway('enum', 'Gear'), zek_sfun_gateway('enum', 'Flag'), ...
       zek_sfun_gateway('enum', 'Other'));
[y, goOn] = zek_sfun_gateway('step', 99);
printf('failing step: goOn=%d\n', goOn);
zek_sfun_gateway('terminate');
% Again, with a client call that terminates and initialises the block inside its cycle.
printf('init again=%d\n', zek_sfun_gateway('init', program, [record '.again'], 0.01));
[y, goOn] = zek_sfun_gateway('step', 77);
printf('reentering step: goOn=%d\n', goOn);
zek_sfun_gateway('terminate');
reports = zek_sfun_gateway('reports');
for i = 1:numel(reports)
  printf('report: %s\n', strtrim(reports{i}));
end
printf('done\n');

% The client function cf of the test program: checks the classes and shapes it is given and
% answers with a number and a text.
function [out, str] = cf(d, b, m, t)
  if ! (isa(d, 'double') && islogical(b) && isa(m, 'int64') && isequal(size(m), [2 3]) && ischar(t))
    error('cf: unexpected arguments %s %s %s %s', class(d), class(b), class(m), class(t));
  end
  if d == 99
    error('cf refuses 99');
  end
  if d == 77
    % Starts the block anew from inside its own cycle, as another simulation would.
    printf('inner reinit=%d\n', zek_sfun_gateway('reinit'));
  end
  out = d * 2 + double(b);
  str = 'abc';
end
